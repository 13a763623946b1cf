"""What the tests share beyond conftest's fixtures: the plain-Python
reference of the module bodies (reference, analysis), the repository's own
lane scripts (lanes) and the loader tests' extension files (extension_files). The benchmarks use the same reference."""
