"""The tiny extension files that the loader tests put into the package's
search path: written once here for every system, compiled by whoever runs
the tests (test_loader.py on POSIX, tests/windows/build_extensions.py for
Windows)."""

SINGLE_PHASE = r"""
#include <Python.h>
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "NAME", NULL, -1, NULL};
PyMODINIT_FUNC SYMBOL(void) {
    const char *context = _Py_PackageContext ? _Py_PackageContext : "";
    PyObject *m = PyModule_Create(&def);
    if (m && PyModule_AddStringConstant(m, "context", context) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
"""

MULTI_PHASE = r"""
#include <Python.h>
static int exec_module(PyObject *m) {
    PyObject *spec = PyObject_GetAttrString(m, "__spec__");
    if (!spec) return -1;
    PyObject *initializing = PyObject_GetAttrString(spec, "_initializing");
    Py_DECREF(spec);
    if (!initializing) return -1;
    int r = PyModule_AddObjectRef(m, "initializing", initializing);
    Py_DECREF(initializing);
    return r;
}
static PyModuleDef_Slot slots[] = {{Py_mod_exec, exec_module}, {0, NULL}};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "multi", NULL, 0, NULL, slots};
PyMODINIT_FUNC PyInit_multi(void) { return PyModuleDef_Init(&def); }
"""

RETURNS_NULL = r"""
#include <Python.h>
PyMODINIT_FUNC PyInit_broken(void) { return NULL; }
"""

NO_INIT = r"""
#include <Python.h>
int unrelated(void) { return 0; }
"""


def write_extensions(root, compile_c, suffixes):
    """Fills the directory root. compile_c(c_file, target) builds one library;
    suffixes are the target system's extension suffixes, in its order."""
    first, last = suffixes[0], suffixes[-1]

    def build(source, target):
        c_file = root / (target + ".c")
        c_file.write_text(source, encoding="utf-8")
        compile_c(c_file, root / target)
        c_file.unlink()

    build(SINGLE_PHASE.replace("NAME", "single").replace("SYMBOL", "PyInit_single"), f"single{first}")
    build(MULTI_PHASE, f"multi{first}")
    build(RETURNS_NULL, f"broken{first}")
    build(NO_INIT, f"noinit{first}")
    # "café" is exported as PyInitU_ with its punycode form, "-" written as "_".
    build(SINGLE_PHASE.replace("NAME", "caf\\xc3\\xa9").replace("SYMBOL", "PyInitU_caf_dma"), f"café{first}")
    # The later suffix wins: twice<last> over twice<first>.
    build(SINGLE_PHASE.replace("NAME", "twice").replace("SYMBOL", "PyInit_twice"), f"twice{last}")
    (root / f"twice{first}").write_text("not a library")
    (root / f"bad{first}").write_text("not a library")
    (root / "not_a_directory").write_text("")
