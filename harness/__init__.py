"""What the tests and the benchmarks share: the plain-Python reference of the
module bodies (reference), the generated datasets with planted problems
(planted_dataset) and headless Chromium driven over the DevTools protocol
(chromium). Imported from the repository root, which `python -m pytest` puts
on the path and the benchmarks add."""
