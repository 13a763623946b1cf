"""What the tests share beyond conftest's fixtures: the analysis tool as
plain Python (analysis, from harness/reference.py, which the benchmarks use
too), the repository's own lane scripts (lanes), the loader tests' extension
files (extension_files) and the check's JSON summaries (summaries)."""
