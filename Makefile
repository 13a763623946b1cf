# make build | test | demo | bench. Each first makes sure .venv holds the
# pinned stack (scripts/ensure_venv.sh) and the project is built into it.
PY := .venv/bin/python
export PYTHONPATH := $(CURDIR)/support

.PHONY: venv build test demo bench windows-check clean

venv:
	@bash scripts/ensure_venv.sh

build: venv
	$(PY) -m pip install -q --no-build-isolation --no-deps .

windows-check:
	@bash scripts/windows_check.sh

test: build windows-check
	$(PY) -m pytest -q tests

# The demos download nothing: they train on the bundled digits on the CPU.
demo: build
	$(PY) examples/train_digits.py

.PHONY: demo-lt demo-dist
demo-lt: build
	$(PY) examples/train_digits_lt.py

demo-dist: build
	$(PY) -m torch.distributed.run --nproc_per_node=2 examples/train_digits.py \
		--launcher pytorch --work-dir build/train_digits_dist

bench: build
	$(PY) bench/bench_analysis.py

clean:
	rm -rf build
