# make build | test | demo | bench. Each first makes sure .venv holds the
# pinned stack (scripts/ensure_venv.sh) and the project is built into it.
# make windows: the win_amd64 wheel in dist/, cross-built with mingw-w64.
# make test-windows: that wheel under Wine with the Windows CPython 3.11
# (build/windows/python then runs that interpreter).
PY := .venv/bin/python
export PYTHONPATH := $(CURDIR)/support

.PHONY: venv build test demo bench windows test-windows clean

venv:
	@bash scripts/ensure_venv.sh

build: venv
	$(PY) -m pip install -q --no-build-isolation --no-deps .

windows: venv
	@bash scripts/windows_build.sh

test-windows: venv
	@bash scripts/windows_test.sh

test: build
	$(PY) -m pytest -q tests
	@bash scripts/windows_test.sh

demo: build
	$(PY) examples/train_digits.py

bench: build
	$(PY) bench/bench_analysis.py

clean:
	rm -rf build
