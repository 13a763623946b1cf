"""The second library `__pycache__`: an empty package over a namespace path,
with an entry, finder and state of its own."""
import importlib.machinery
import os

from conftest import run_python

SUFFIXES = tuple(importlib.machinery.EXTENSION_SUFFIXES)
NOT_EXISTING = os.sep + "not_existing"

# Real `__pycache__` directories lie on sys.path too: make sure the library
# was imported.
IMPORT = f"""
import os, sys
import __pycache__
name = os.path.basename(__pycache__.__file__)
assert name.startswith("__pycache__.") and name.endswith({SUFFIXES!r}), __pycache__.__file__
LIBRARY_DIR = os.path.dirname(__pycache__.__file__)
"""


def test_namespace_package():
    run_python(IMPORT + f"""
import _frozen_importlib_external
path = __pycache__.__path__
assert type(path) is _frozen_importlib_external._NamespacePath
assert list(path) == [os.path.join(LIBRARY_DIR, "__pycache__"), {NOT_EXISTING!r}]
assert __pycache__.__package__ == "__pycache__"
assert __pycache__.__doc__ is None
assert not hasattr(__pycache__, "__cached__")
assert "_NamespacePath" not in vars(__pycache__)
spec = __pycache__.__spec__
assert spec.name == "__pycache__" and spec.origin is None and not spec.has_location
assert spec.submodule_search_locations is None
assert spec.loader is __pycache__.__loader__
assert spec.loader.__name__ == "kaplet_module_loader" and spec.loader.__module__ == "__kaplet__"
assert spec.loader.is_package("__pycache__") is True
assert spec.loader.find_spec("pretrain") is None
""", env={"KAPLET_PACKAGE___pycache__": None})


def test_environment_entry_and_submodules(tmp_path):
    (tmp_path / "extra.py").write_text("VALUE = 5\n")
    run_python(IMPORT + f"""
assert list(__pycache__.__path__) == [os.path.join(LIBRARY_DIR, "__pycache__"), {str(tmp_path)!r}]
# A submodule is left to the path-based search over the namespace path.
import __pycache__.extra
assert __pycache__.extra.VALUE == 5
assert __pycache__.extra.__spec__.loader.__class__.__name__ == "SourceFileLoader"
""", env={"KAPLET_PACKAGE___pycache__": str(tmp_path)})


def test_libraries_are_independent():
    run_python(IMPORT + """
assert "pretrain" not in sys.modules
finders = [f for f in sys.meta_path if type(f).__name__ == "kaplet_module_loader"]
assert len(finders) == 1 and type(finders[0]) is __pycache__.__loader__
import pretrain
assert pretrain.__loader__ is not __pycache__.__loader__
finders = [f for f in sys.meta_path if type(f).__name__ == "kaplet_module_loader"]
assert [type(f) for f in finders] == [pretrain.__loader__, __pycache__.__loader__]
later = sys.meta_path.index(finders[0])
assert sys.meta_path[later + 1] is finders[1]
hooks = [h for h in sys.path_hooks if getattr(h, "__name__", "") == "sys_path_hook"]
assert len(hooks) == 2
# Each finder serves its own table only.
assert __pycache__.__loader__.find_spec("pretrain") is None
assert pretrain.__loader__.find_spec("__pycache__") is None
assert pretrain.__loader__.get_resource_reader("pretrain") is not None
try:
    __pycache__.__loader__.get_resource_reader("pretrain")
except RuntimeError:
    pass
else:
    raise AssertionError("foreign row served")
assert repr(__pycache__.__loader__.get_resource_reader("__pycache__")) == (
    "<kaplet_resource_reader for '__pycache__'>")
""")
    run_python("""
import sys, pretrain
assert "__pycache__" not in sys.modules
""")


def test_failing_body_leaves_no_module():
    proc = run_python("""
import os, sys
class Broken(dict):
    def get(self, *args):
        raise LookupError("no environment")
os.environ = Broken()
try:
    import __pycache__
except LookupError as e:
    assert str(e) == "no environment"
else:
    raise AssertionError("imported")
assert "__pycache__" not in sys.modules
print("ok")
""")
    assert proc.stdout.strip() == "ok"
