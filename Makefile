# make build | test | test-asan | fuzz | demo | bench. Each first makes sure
# .venv holds the pinned stack (scripts/ensure_venv.sh) and the project is
# built into it. test-asan and fuzz build both libraries a second time, with
# AddressSanitizer + UndefinedBehaviorSanitizer, into build/sanitize (the
# compiler's own sanitizer runtimes: nothing is downloaded).
PY := .venv/bin/python
export PYTHONPATH := $(CURDIR)/support

.PHONY: venv build test test-asan fuzz demo bench windows-check clean

# Time limits of the sanitizer lanes (seconds); both together stay under
# about 12 minutes on a 2-core machine.
ASAN_LIMIT := 420
FUZZ_LIMIT := 540
# The suite under the sanitizers, without what only repeats work at length
# (the leak counts of 10,000 calls per callable, the model's compute loop,
# stack imports in many children, the demo entries); those run above.
ASAN_TESTS := tests --ignore=tests/test_leaks.py \
  --deselect tests/test_model.py::test_calls_leak_no_references \
  --deselect tests/test_import_state.py::test_concurrent_first_imports_wait_for_the_package \
  --deselect tests/test_robustness.py::test_finder_operations_leak_nothing \
  --deselect tests/test_robustness.py::test_native_calls_with_argument_errors_leak_nothing \
  --deselect tests/test_datasets.py::test_import_time_lines_printed_once \
  --deselect tests/test_datasets.py::test_main_builds_the_sample_dataset \
  --deselect tests/test_datasets.py::test_run_as_main_module

venv:
	@bash scripts/ensure_venv.sh

build: venv
	$(PY) -m pip install -q --no-build-isolation --no-deps .

windows-check:
	@bash scripts/windows_check.sh

test: build windows-check
	$(PY) -m pytest -q tests
	$(MAKE) --no-print-directory test-asan
	$(MAKE) --no-print-directory fuzz

test-asan: venv
	bash scripts/run_sanitized.sh $(ASAN_LIMIT) $(PY) -m pytest -q -p no:cacheprovider $(ASAN_TESTS)

# Seeded: FUZZ_SEED=N replays a run (the seed is printed either way).
fuzz: venv
	bash scripts/run_sanitized.sh $(FUZZ_LIMIT) $(PY) fuzz/run.py $(if $(FUZZ_SEED),--seed $(FUZZ_SEED))

demo: build
	$(PY) examples/train_digits.py

bench: build
	$(PY) bench/run.py

clean:
	rm -rf build
