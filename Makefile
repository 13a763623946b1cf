# make build | wheel | test | demo | bench | ravelin-standin. Each first
# makes sure .venv (this clone's own environment over the cached pinned
# stack, scripts/ensure_venv.sh) exists and the project is built into it.
PY := .venv/bin/python
export PYTHONPATH := $(CURDIR)/support

# Lanes `make test` runs after the Linux suite; a lane that cannot run here
# (no root to install its tools, say) reports itself through skip_lane
# (scripts/setup_lib.sh) and `make test` lists it at the end.
TEST_LANES := windows-check

.PHONY: venv build wheel test test-linux demo bench windows-check ravelin-standin clean

venv:
	@bash scripts/ensure_venv.sh

build: venv
	$(PY) -m pip install -q --no-build-isolation --no-deps .

wheel: venv
	@bash scripts/build_wheel.sh $(PY)

ravelin-standin: venv
	@bash scripts/install_ravelin_standin.sh $(PY)

windows-check:
	@bash scripts/windows_check.sh

test-linux: build
	$(PY) -m pytest -q tests

# The extra lanes first, then the list of skipped ones, then the Linux suite,
# so that pytest's counts close the output.
test: build
	@bash scripts/lane_summary.sh reset
	@status=0; \
	for lane in $(TEST_LANES); do $(MAKE) --no-print-directory $$lane || status=1; done; \
	bash scripts/lane_summary.sh; \
	$(PY) -m pytest -q tests || status=1; \
	exit $$status

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
	rm -rf build dist
