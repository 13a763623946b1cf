"""What only Windows has: backslash paths computed from the library's own
module file name, library paths past the classic 256-unit buffer, and
extension files loaded through LoadLibraryExW with the system's own error
texts."""
import ctypes
import importlib.machinery
import importlib.util
import os
import shutil
import sys

import pytest

from conftest import run_python

pytestmark = pytest.mark.skipif(os.name != "nt", reason="Windows only")

if os.name == "nt":
    import pretrain

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)


def library_file(name="pretrain"):
    return importlib.machinery.PathFinder.find_spec(name).origin


def test_paths_are_joined_with_backslashes():
    library_dir = os.path.dirname(library_file())
    assert pretrain.__file__ == library_dir + "\\pretrain\\__init__.py"
    assert pretrain.__path__[0] == library_dir + "\\pretrain"
    assert importlib.util.find_spec("pretrain.datasets").origin == library_dir + "\\pretrain\\datasets.py"
    reader = pretrain.__loader__.get_resource_reader("pretrain.image")
    assert reader.resource_path("a.txt") == library_dir + "\\pretrain\\a.txt"
    files = reader.files() / "sub" / "a.txt"
    assert os.fspath(files) == library_dir + "\\pretrain\\sub\\a.txt"
    assert files.as_posix() == (library_dir + "\\pretrain\\sub\\a.txt").replace("\\", "/")


def test_defaults_name_the_backslash_not_existing_directory():
    out = run_python("""
        import json, pretrain, __pycache__
        print(json.dumps([pretrain.__path__[1], list(__pycache__.__path__)[1]]))
    """, env={"KAPLET_PACKAGE_pretrain": None, "KAPLET_PACKAGE___pycache__": None}).stdout
    assert out.strip() == '["\\\\not_existing", "\\\\not_existing"]'


def test_library_path_longer_than_256_units(tmp_path):
    # Non-ASCII components check the UTF-16 to UTF-8 conversion as well.
    deep = tmp_path
    while len(str(deep)) <= 300:
        deep = deep / "深い-directory-é"
    deep.mkdir(parents=True)
    for name in ("pretrain", "__pycache__"):
        shutil.copy(library_file(name), deep)
    out = run_python("""
        import importlib.util, json, pretrain, __pycache__
        print(json.dumps([pretrain.__file__, importlib.util.find_spec("pretrain.image").origin,
                          list(__pycache__.__path__)[0], __pycache__.__file__]))
    """, extra_path=[deep]).stdout
    assert len(str(deep)) > 256
    assert out.strip() == __import__("json").dumps([
        str(deep / "pretrain" / "__init__.py"), str(deep / "pretrain" / "image.py"),
        str(deep / "__pycache__"), str(deep / "__pycache__.pyd"),
    ])


@pytest.fixture(scope="module")
def windows_extensions(tmp_path_factory):
    prebuilt = os.environ.get("PRETRAIN_TEST_EXTENSIONS")
    if not prebuilt:
        pytest.skip("PRETRAIN_TEST_EXTENSIONS names no directory of prebuilt extension files")
    root = tmp_path_factory.mktemp("windows_extensions")
    shutil.copytree(prebuilt, root, dirs_exist_ok=True)
    return root


def system_error_text(path):
    """The system's text for the error LoadLibraryExW gives on path."""
    flags = 0x00001000 | 0x00000100  # LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
    kernel32.LoadLibraryExW.restype = ctypes.c_void_p
    assert not kernel32.LoadLibraryExW(str(path), None, flags)
    return ctypes.FormatError(ctypes.get_last_error())


def import_fails_with_the_system_message(name, path):
    mode = kernel32.GetErrorMode()
    with pytest.raises(ImportError) as info:
        importlib.import_module("pretrain." + name)
    message = str(info.value)
    prefix = f"LoadLibraryExW '{path}' failed: "
    assert message.startswith(prefix + system_error_text(path)), message
    assert not message.endswith(("\r", "\n"))
    assert info.value.name == "pretrain." + name and info.value.path == str(path)
    assert "pretrain." + name not in sys.modules
    # The error mode is the caller's again.
    assert kernel32.GetErrorMode() == mode


@pytest.mark.parametrize("name", [
    "bad",                # a text file
    "needs_missing_dll",  # imports a DLL that is nowhere
])
def test_load_failure_gives_the_system_message(windows_extensions, monkeypatch, name):
    monkeypatch.setattr(pretrain, "__path__", [pretrain.__path__[0], str(windows_extensions)])
    import_fails_with_the_system_message(name, windows_extensions / (name + importlib.machinery.EXTENSION_SUFFIXES[0]))


def test_relative_search_path_entry_is_refused(windows_extensions, monkeypatch):
    # With these flags LoadLibraryExW takes only full paths, where the POSIX
    # loader opens a path relative to the working directory.
    monkeypatch.chdir(windows_extensions.parent)
    monkeypatch.setattr(pretrain, "__path__", [pretrain.__path__[0], windows_extensions.name])
    import_fails_with_the_system_message(
        "multi", os.path.join(windows_extensions.name, "multi" + importlib.machinery.EXTENSION_SUFFIXES[0]))


def test_dependency_beside_the_extension_is_found(windows_extensions, monkeypatch):
    # LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR: the extension's own directory is
    # searched for the DLLs it imports, though it is on no search path.
    monkeypatch.setattr(pretrain, "__path__", [pretrain.__path__[0], str(windows_extensions)])
    monkeypatch.delitem(sys.modules, "pretrain.uses_helper", raising=False)
    module = importlib.import_module("pretrain.uses_helper")
    assert module.answer == 42
    assert module.__file__ == str(windows_extensions / ("uses_helper" + importlib.machinery.EXTENSION_SUFFIXES[0]))


@pytest.mark.parametrize("given, kept", [(None, "1"), ("0", "0")])
def test_pretrain_tools_sets_the_build_tools_setting_only_where_the_user_has_not(given, kept):
    shown = run_python("import os, pretrain_tools; print(os.environ['DISTUTILS_USE_SDK'])",
                       env={"DISTUTILS_USE_SDK": given})
    assert shown.stdout.strip() == kept
