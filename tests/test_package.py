"""The package module, its finder and how submodules are found and loaded."""
import importlib
import importlib.machinery
import importlib.util
import os
import pkgutil
import shutil
import sys

import pytest

import pretrain
from conftest import run_python

SEP = os.sep
NOT_EXISTING = SEP + "not_existing"


def library_directory():
    return os.path.dirname(pretrain.__path__[0])


def test_package_attributes_and_spec():
    package_dir = os.path.join(library_directory(), "pretrain")
    assert pretrain.__file__ == os.path.join(package_dir, "__init__.py")
    assert pretrain.__doc__ is None
    assert pretrain.__cached__ is None
    assert pretrain.__package__ == "pretrain"
    spec = pretrain.__spec__
    assert spec.name == "pretrain"
    assert spec.origin == pretrain.__file__
    assert spec.has_location
    assert spec.submodule_search_locations is pretrain.__path__
    assert pretrain.__loader__ is spec.loader
    assert spec.loader.__name__ == "kaplet_module_loader"
    # The package exports nothing and imports none of its submodules.
    out = run_python("import pretrain, sys; print(list(vars(pretrain))); print(sorted(m for m in sys.modules if m.startswith('pretrain')))")
    assert out.stdout.splitlines() == [
        "['__name__', '__doc__', '__package__', '__loader__', '__spec__', '__builtins__', '__file__', '__path__', "
        "'__cached__']",
        "['pretrain']",
    ]


def test_path_default_and_environment(tmp_path):
    code = """
        import pretrain, json
        print(json.dumps(pretrain.__path__))
        print(pretrain.__spec__.submodule_search_locations is pretrain.__path__)
    """
    out = run_python(code, env={"KAPLET_PACKAGE_pretrain": None}).stdout.splitlines()
    path = __import__("json").loads(out[0])
    assert path == [os.path.dirname(pretrain.__file__), NOT_EXISTING]
    assert out[1] == "True"
    out = run_python(code, env={"KAPLET_PACKAGE_pretrain": str(tmp_path)}).stdout.splitlines()
    assert __import__("json").loads(out[0])[1] == str(tmp_path)


def test_finder_installation_and_types():
    code = """
        import sys
        before = list(sys.meta_path)
        hooks = len(sys.path_hooks)
        import pretrain
        finder = sys.meta_path[2]
        print(repr(finder))
        print(type(finder).__name__, type(finder).__module__, finder.__module__)
        print(len(sys.meta_path) == len(before) + 1, len(sys.path_hooks) == hooks + 1)
        print(pretrain.__loader__ is type(finder), pretrain.__spec__.loader is type(finder))
        try:
            class Sub(type(finder)): pass
        except TypeError:
            print("final")
        print(hasattr(finder, "__dict__"))
    """
    out = run_python(code).stdout.splitlines()
    assert out == [
        "<kaplet_module_loader>",
        "kaplet_module_loader __kaplet__ __kaplet__",
        "True True",
        "True True",
        "final",
        "False",
    ]


def finder():
    return pretrain.__loader__


def test_find_spec_and_is_package():
    spec = importlib.util.find_spec("pretrain.image")
    assert spec.loader is finder()
    assert spec.origin == os.path.join(os.path.dirname(pretrain.__file__), "image.py")
    assert spec.submodule_search_locations is None
    assert finder().find_spec("pretrain").submodule_search_locations == []
    assert finder().find_spec("pretrain.nothing") is None
    assert finder().find_spec(fullname="pretrain.image", is_package=None, path=None).name == "pretrain.image"
    assert finder().is_package("pretrain") is True
    assert finder().is_package("pretrain.image") is False
    assert finder().is_package("json") is None
    with pytest.raises(TypeError):
        finder().find_spec()


def test_missing_submodule_raises_module_not_found():
    with pytest.raises(ModuleNotFoundError) as info:
        importlib.import_module("pretrain.no_such_module")
    assert info.value.name == "pretrain.no_such_module"
    assert "pretrain.no_such_module" not in sys.modules


def test_iter_modules_and_path_hook():
    meta_finder = [f for f in sys.meta_path if type(f) is finder()][0]
    assert meta_finder.iter_modules("") == [("pretrain", True)]
    assert meta_finder.iter_modules("x.") == [("x.pretrain", True)]
    bound = finder().sys_path_hook(pretrain.__path__[0])
    assert repr(bound) == "<kaplet_module_loader for 'pretrain'>"
    assert bound.iter_modules("") == [
        ("analyzing_tools", False), ("cls_head", False), ("datasets", False), ("image", False)]
    with pytest.raises(ImportError) as info:
        finder().sys_path_hook(os.path.dirname(pretrain.__path__[0]))
    assert info.value.args == ()
    names = [m.name for m in pkgutil.iter_modules(pretrain.__path__, "pretrain.")]
    assert names == ["pretrain.analyzing_tools", "pretrain.cls_head", "pretrain.datasets", "pretrain.image"]


def test_create_exec_and_reprs(tmp_path):
    spec = finder().find_spec("pretrain.cls_head")
    module = finder().create_module(spec)
    assert type(module).__name__ == "module" and module.__name__ == "pretrain.cls_head"
    assert vars(module).keys() == {"__name__", "__doc__", "__package__", "__loader__", "__spec__"}
    assert finder().module_repr(pretrain) == f"<module 'pretrain' from {pretrain.__file__!r}>"
    assert finder().module_repr(type(sys)("bare")) == "<module 'bare' from 'unknown location'>"
    data = tmp_path / "blob.bin"
    data.write_bytes(b"\x00\x01payload")
    assert finder().get_data(str(data)) == b"\x00\x01payload"
    with pytest.raises(FileNotFoundError):
        finder().get_data(str(tmp_path / "missing"))
    assert finder().exec_module(type(sys)("not.a.row")) is None


def test_submodule_attributes_file_and_cached():
    import pretrain.cls_head as cls_head
    import pretrain.image as image
    for module, file in ((cls_head, "cls_head.py"), (image, "image.py")):
        assert module.__file__ == os.path.join(os.path.dirname(pretrain.__file__), file)
        assert module.__spec__.origin == module.__file__
        assert module.__cached__ is None
        assert module.__doc__ is None
        assert module.__package__ == "pretrain"
        assert module.__loader__ is finder()
        assert module.__spec__._initializing is False


def test_nested_loading_under_outer_package(tmp_path):
    outer = tmp_path / "outer"
    outer.mkdir()
    (outer / "__init__.py").write_text("")
    library = importlib.machinery.PathFinder.find_spec("pretrain").origin
    shutil.copy(library, outer)
    code = """
        import sys
        import outer.pretrain as p
        finder = [f for f in sys.meta_path if type(f).__name__ == "kaplet_module_loader"][0]
        print(p.__name__, sys.modules["outer.pretrain"] is p, "pretrain" in sys.modules)
        print(type(finder).is_package("outer.pretrain"), type(finder).is_package("pretrain"))
        print(type(finder).find_spec("outer.pretrain.image").name)
        import outer.pretrain.cls_head as h
        print(h.__name__, h.__package__, h.LinearClsHead.__module__)
    """
    out = run_python(code, extra_path=[tmp_path]).stdout.splitlines()
    assert out == [
        "outer.pretrain True False",
        "True None",
        "outer.pretrain.image",
        "outer.pretrain.cls_head outer.pretrain outer.pretrain.cls_head",
    ]


def test_reload_runs_body_again():
    import pretrain.cls_head as cls_head
    first = cls_head.LinearClsHead
    again = importlib.reload(cls_head)
    assert again is cls_head
    assert cls_head.LinearClsHead is not first
    from mmpretrain.registry import MODELS
    assert MODELS.get("LinearClsHead") is cls_head.LinearClsHead
