"""Compiles the loader tests' extension files (tests/helpers/extension_files.py) for
64-bit Windows with mingw-w64, against the headers and import library that
scripts/windows_build.sh prepared in build/windows, and the extension files
that only the Windows tests use (tests/windows/test_windows.py): one that
imports a DLL lying beside it, one that imports a DLL that is nowhere.

usage: build_extensions.py OUT_DIR
"""
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent
BUILD = TESTS.parent / "build" / "windows"
# importlib.machinery.EXTENSION_SUFFIXES of CPython 3.11 on win_amd64.
WINDOWS_SUFFIXES = [".cp311-win_amd64.pyd", ".pyd"]

sys.path.insert(0, str(TESTS))
from helpers.extension_files import write_extensions  # noqa: E402


HELPER = r"""
__declspec(dllexport) int helper_answer(void) { return 42; }
"""

USES_HELPER = r"""
#include <Python.h>
__declspec(dllimport) int helper_answer(void);
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "uses_helper", NULL, -1, NULL};
PyMODINIT_FUNC PyInit_uses_helper(void) {
    PyObject *m = PyModule_Create(&def);
    if (m && PyModule_AddIntConstant(m, "answer", helper_answer()) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
"""

NEEDS_MISSING_DLL = r"""
#include <Python.h>
__declspec(dllimport) int nowhere_function(void);
PyMODINIT_FUNC PyInit_needs_missing_dll(void) { return PyLong_FromLong(nowhere_function()); }
"""


def compile_c(c_file, target, *link):
    subprocess.run(
        ["x86_64-w64-mingw32-gcc", "-shared", "-O1", "-static-libgcc", "-I", str(BUILD / "include"),
         "-x", "c", str(c_file), "-x", "none", "-o", str(target), "-L", str(BUILD), *link, "-lpython311"],
        check=True,
    )


def write_windows_only(out_dir, work):
    suffix = WINDOWS_SUFFIXES[0]
    (work / "helper.c").write_text(HELPER)
    compile_c(work / "helper.c", out_dir / "pretrain_test_helper.dll", f"-Wl,--out-implib,{work / 'libhelper.a'}")
    (work / "uses_helper.c").write_text(USES_HELPER)
    compile_c(work / "uses_helper.c", out_dir / f"uses_helper{suffix}", str(work / "libhelper.a"))
    (work / "nowhere.def").write_text("LIBRARY nowhere_dependency.dll\nEXPORTS\nnowhere_function\n")
    subprocess.run(["x86_64-w64-mingw32-dlltool", "-d", str(work / "nowhere.def"), "-l", str(work / "libnowhere.a")],
                   check=True)
    (work / "needs_missing_dll.c").write_text(NEEDS_MISSING_DLL)
    compile_c(work / "needs_missing_dll.c", out_dir / f"needs_missing_dll{suffix}", str(work / "libnowhere.a"))


def main(out_dir):
    if out_dir.exists():
        shutil.rmtree(out_dir)
    out_dir.mkdir(parents=True)
    write_extensions(out_dir, compile_c, WINDOWS_SUFFIXES)
    with tempfile.TemporaryDirectory() as work:
        write_windows_only(out_dir, Path(work))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(Path(sys.argv[1]).resolve())
