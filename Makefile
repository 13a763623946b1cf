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

demo: build
	$(PY) examples/train_digits.py

bench: build
	$(PY) bench/run.py

clean:
	rm -rf build
