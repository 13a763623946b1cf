# make build | wheel | test | test-asan | test-browser | fuzz | fuzz-sizes | test-matrix | windows
# | test-windows | demo | bench | ravelin-standin.
# Each first makes sure .venv (this clone's own environment over the cached
# pinned stack, scripts/ensure_venv.sh) exists and the project is built into
# it. test-asan and fuzz build both libraries a second time, with
# AddressSanitizer + UndefinedBehaviorSanitizer, into build/sanitize (the
# compiler's own sanitizer runtimes: nothing is downloaded). windows builds
# the win_amd64 wheel into dist/ with mingw-w64; test-windows runs it under
# Wine with the Windows CPython 3.11 (then build/windows/python runs that
# interpreter).
PY := .venv/bin/python
export PYTHONPATH := $(CURDIR)/support

# Lanes `make test` runs before the Linux suite; a lane that cannot run here
# (no root to install its tools, say) reports itself through skip_lane
# (scripts/setup_lib.sh) and `make test` lists it at the end.
TEST_LANES := test-wheel test-windows test-asan fuzz fuzz-sizes test-matrix test-browser

.PHONY: venv build wheel test-wheel test test-linux test-asan fuzz fuzz-sizes test-matrix test-browser demo bench windows test-windows ravelin-standin clean

# Time limits of the sanitizer lanes (seconds); together they stay under
# about 30 minutes on a busy 2-core machine. FUZZ_LIMIT covers fuzz/run.py's plan
# (its children's limits add up to 410 s); the image size files under the
# sanitizers take about 30 s of FUZZ_SIZES_LIMIT.
ASAN_LIMIT := 1200
FUZZ_LIMIT := 420
FUZZ_SIZES_LIMIT := 150
# Image files compared by fuzz/image_sizes.py per run: some under the
# sanitizers (in `fuzz`), the rest against the plain build (`fuzz-sizes`,
# about 50 s).
FUZZ_SIZES_ASAN_FILES := 6000
FUZZ_SIZES_FILES := 30000
# The suite under the sanitizers, without what only repeats work at length
# (the leak counts of 10,000 calls per callable, the model's compute loop,
# stack imports in many children, the demo entries and demo trainings) and
# the dataset check's own command-line, Ctrl-C, wrong-label and page tests
# (plain Python over scans the other tests already run sanitized) and the
# long-tail trainings of pretrain_tools; those run above.
ASAN_TESTS := tests --ignore=tests/test_leaks.py --ignore=tests/test_demos.py \
  --ignore=tests/browser --ignore=tests/test_check_ctrl_c.py --ignore=tests/test_check_command_line.py \
  --ignore=tests/test_check_html.py --ignore=tests/test_label_folds.py --ignore=tests/test_label_folds_shared.py \
  --ignore=tests/test_label_issues_output.py --ignore=tests/test_confident_learning.py \
  --ignore=tests/test_small_images.py --ignore=tests/test_quickstart.py --ignore=tests/test_long_tail.py \
  --deselect tests/test_model.py::test_calls_leak_no_references \
  --deselect tests/test_import_state.py::test_concurrent_first_imports_wait_for_the_package \
  --deselect tests/test_robustness.py::test_finder_operations_leak_nothing \
  --deselect tests/test_robustness.py::test_native_calls_with_argument_errors_leak_nothing \
  --deselect tests/test_datasets.py::test_import_time_lines_printed_once \
  --deselect tests/test_datasets.py::test_main_builds_the_sample_dataset \
  --deselect tests/test_datasets.py::test_run_as_main_module

venv:
	@bash scripts/ensure_venv.sh
	@bash scripts/ensure_zlib.sh

build: venv
	@bash scripts/build_project.sh $(PY)

wheel: venv
	@bash scripts/build_wheel.sh $(PY)

# The wheels installed like a pip user would, used from outside the checkout
# (scripts/test_wheel.sh).
test-wheel: venv
	@bash scripts/test_wheel.sh $(PY)

ravelin-standin: venv
	@bash scripts/install_ravelin_standin.sh $(PY)

windows: venv
	@bash scripts/windows_build.sh

test-windows: venv
	@bash scripts/windows_test.sh

test-linux: build
	$(PY) -m pytest -q tests --ignore=tests/browser

# pretrain-check's HTML pages in headless Chromium (installed with apt-get
# when missing, about 113 MB; skipped where it cannot be).
test-browser: build
	@bash scripts/test_browser.sh $(PY)

test-asan: venv
	bash scripts/run_sanitized.sh $(ASAN_LIMIT) $(PY) -m pytest -q -p no:cacheprovider $(ASAN_TESTS)

# Seeded: FUZZ_SEED=N replays a run (the seed is printed either way).
fuzz: venv
	@status=0; \
	bash scripts/run_sanitized.sh $(FUZZ_LIMIT) $(PY) fuzz/run.py $(if $(FUZZ_SEED),--seed $(FUZZ_SEED)) || status=1; \
	bash scripts/run_sanitized.sh $(FUZZ_SIZES_LIMIT) $(PY) fuzz/image_sizes.py --quiet \
	  --files $(FUZZ_SIZES_ASAN_FILES) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED)) || status=1; \
	exit $$status

# The image size scan against plain Image.open, on the normal build.
fuzz-sizes: build
	$(PY) fuzz/image_sizes.py --files $(FUZZ_SIZES_FILES) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED))

# The test matrix (scripts/matrix_cells.txt): in each cell, the test files
# that use numpy, Pillow, the scans, the datasets, the model and a short
# training run, and the size scan's differential fuzzing on the same files
# (MATRIX_SEED=N replays them). About 2 minutes per cell once set up.
MATRIX_TESTS := tests/test_analysis.py tests/test_analysis_scans.py tests/test_interrupts.py \
  tests/test_sample_data.py tests/test_datasets.py tests/test_model.py tests/test_training.py
MATRIX_FUZZ_FILES := 3000
# What the cells holding only a Pillow release run besides the fuzzing.
MATRIX_PILLOW_TESTS := tests/test_headers_png.py tests/test_headers_jpeg.py tests/test_headers_gif_bmp.py \
  tests/test_pillow_releases.py

test-matrix: build
	$(PY) scripts/run_matrix.py --fuzz-files $(MATRIX_FUZZ_FILES) $(if $(MATRIX_SEED),--seed $(MATRIX_SEED)) \
	  --pillow-cell-tests $(MATRIX_PILLOW_TESTS) -- $(MATRIX_TESTS) tests/test_pillow_releases.py

# The extra lanes first, then the list of skipped ones, then the Linux suite,
# so that pytest's counts close the output.
test: build
	@bash scripts/lane_summary.sh reset
	@status=0; \
	for lane in $(TEST_LANES); do $(MAKE) --no-print-directory $$lane || status=1; done; \
	bash scripts/lane_summary.sh; \
	$(PY) -m pytest -q tests --ignore=tests/browser || status=1; \
	exit $$status

# The demos download nothing: they train on the bundled digits on the CPU.
demo: build
	$(PY) examples/train_digits.py

.PHONY: demo-lt demo-dist demo-windows
demo-lt: build
	$(PY) examples/train_digits_lt.py

demo-dist: build
	$(PY) -m torch.distributed.run --nproc_per_node=2 examples/train_digits.py \
		--launcher pytorch --work-dir build/train_digits_dist

# The digits demo under Wine with the Windows CPython 3.11 and this clone's
# Windows wheel (the Windows test environment is made first when missing).
demo-windows: venv
	@bash scripts/windows_install.sh
	PYTHONPATH=support build/windows/python examples/train_digits.py --work-dir build/windows/train_digits

bench: build
	$(PY) bench/run.py

# Long-tail learning on the digits (bench/longtail.py): about 15 minutes on one thread.
.PHONY: bench-longtail
bench-longtail: build
	OMP_NUM_THREADS=$${OMP_NUM_THREADS:-1} $(PY) bench/longtail.py

# Wrong labels against planted ones (bench/label_issues.py): K-fold training
# on the digits and generated glyphs, compared with cleanlab (its scratch
# environment under ~/.cache/pretrain-venvs/bench-cleanlab-<hash> is made on first use,
# announced with its size). About 20 minutes on one thread of a shared 2-core machine.
.PHONY: bench-labels
bench-labels: build
	OMP_NUM_THREADS=$${OMP_NUM_THREADS:-1} $(PY) bench/label_issues.py

clean:
	rm -rf build dist
