"""The finder's services beyond its own rows: extension files in a package
directory, resource readers and files objects, distributions and the legacy
find_module/load_module protocol."""
import importlib.machinery
import importlib.metadata
import importlib.resources
import os
import shutil
import subprocess
import sysconfig
import textwrap

import pytest

import pretrain
from conftest import run_python
from helpers.extension_files import write_extensions

FINDER = pretrain.__loader__
SUFFIX = importlib.machinery.EXTENSION_SUFFIXES[0]
LAST_SUFFIX = importlib.machinery.EXTENSION_SUFFIXES[-1]

@pytest.fixture(scope="module")
def extensions(tmp_path_factory):
    """A directory of tiny extension files (helpers/extension_files.py)."""
    root = tmp_path_factory.mktemp("extensions")
    if os.name == "nt":
        # Built beforehand by the Windows lane (tests/windows/build_extensions.py).
        prebuilt = os.environ.get("PRETRAIN_TEST_EXTENSIONS")
        if not prebuilt:
            pytest.skip("PRETRAIN_TEST_EXTENSIONS names no directory of prebuilt extension files")
        shutil.copytree(prebuilt, root, dirs_exist_ok=True)
        return root
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C compiler")
    include = sysconfig.get_paths()["include"]

    def compile_c(c_file, target):
        subprocess.run([compiler, "-shared", "-fPIC", "-I", include, "-x", "c", str(c_file), "-o", str(target)],
                       check=True, capture_output=True)

    write_extensions(root, compile_c, importlib.machinery.EXTENSION_SUFFIXES)
    return root


def run_with_extensions(extensions, code):
    prologue = f"""
        import importlib, importlib.util, os, sys
        EXT = {str(extensions)!r}
        SUFFIX = {SUFFIX!r}
        LAST_SUFFIX = {LAST_SUFFIX!r}
        def ext(name):
            return os.path.join(EXT, name)
    """
    return run_python(textwrap.dedent(prologue) + textwrap.dedent(code),
                      env={"KAPLET_PACKAGE_pretrain": str(extensions)})


def test_single_phase_extension(extensions):
    run_with_extensions(extensions, """
        import pretrain
        finder = pretrain.__loader__
        found = importlib.util.find_spec("pretrain.single")
        assert found.loader is finder and found.origin is None and found.submodule_search_locations is None
        assert finder.find_module("pretrain.single") is finder

        import pretrain.single as m
        path = ext("single" + SUFFIX)
        assert sys.modules["pretrain.single"] is m
        assert m.__name__ == "pretrain.single"
        assert m.__file__ == path
        assert m.__package__ == "pretrain"
        assert m.context == "pretrain.single"
        assert not hasattr(m, "__path__")
        spec = m.__spec__
        assert (spec.name, spec.loader, spec.origin, spec.submodule_search_locations) == (
            "pretrain.single", finder, path, None)
    """)


def test_multi_phase_extension(extensions):
    run_with_extensions(extensions, """
        import pretrain, pretrain.multi as m
        path = ext("multi" + SUFFIX)
        assert sys.modules["pretrain.multi"] is m
        assert m.__file__ == path
        assert m.__path__ == [path]
        assert m.initializing is True
        spec = m.__spec__
        assert (spec.name, spec.loader, spec.origin) == ("pretrain.multi", pretrain.__loader__, path)
        assert spec._initializing is False
    """)


def test_non_ascii_name_uses_punycode_symbol(extensions):
    run_with_extensions(extensions, """
        m = importlib.import_module("pretrain.café")
        assert m.__name__ == "pretrain.café" and m.__file__ == ext("café" + SUFFIX)
    """)


def test_extension_load_failures(extensions):
    run_with_extensions(extensions, """
        import pretrain
        bad = ext("bad" + SUFFIX)
        try:
            import pretrain.bad
        except ImportError as e:
            message = str(e)
        prefix = f"LoadLibraryExW '{bad}' failed: "
        assert message.startswith(prefix) and len(message) > len(prefix), message
        assert "pretrain.bad" not in sys.modules

        try:
            import pretrain.broken
        except SystemError as e:
            assert str(e) == "dynamic module 'pretrain.broken' not initialized properly"
        else:
            raise AssertionError("no SystemError")
        assert "pretrain.broken" not in sys.modules

        try:
            import pretrain.noinit
        except ImportError as e:
            assert "PyInit_noinit" in str(e)
        else:
            raise AssertionError("no ImportError")
    """)


def test_search_order_and_skipped_entries(extensions, tmp_path):
    other = tmp_path / "other"
    other.mkdir()
    shutil.copy(extensions / f"twice{LAST_SUFFIX}", other / f"twice{SUFFIX}")
    run_with_extensions(extensions, f"""
        import pretrain
        # Unlistable entries and entries that are no text are skipped; a
        # later suffix replaces the record of an earlier one, even from a
        # later directory.
        pretrain.__path__[:] = [ext("not_a_directory"), "/no/such/dir", b"/bytes", 7,
                                {str(other)!r}, EXT]
        import pretrain.twice as m
        assert m.__file__ == ext("twice" + LAST_SUFFIX), m.__file__
        # The search needs a list.
        pretrain.__path__ = tuple(pretrain.__path__)
        assert pretrain.__loader__.find_spec("pretrain.single") is None
        assert pretrain.__loader__.find_module("pretrain.single") is None
    """)


def test_legacy_operations(extensions):
    run_with_extensions(extensions, """
        import pretrain
        finder = pretrain.__loader__
        assert finder.find_module("pretrain.image") is finder
        assert finder.find_module("pretrain.nothing") is None
        assert finder.find_module("json") is None
        assert finder.load_module("pretrain.nothing") is None
        assert finder.load_module("pretrain") is pretrain
        assert finder.find_module("pretrain.single") is finder
        m = finder.load_module("pretrain.single")
        assert sys.modules["pretrain.single"] is m and m.__file__ == ext("single" + SUFFIX)
    """)


# --- resources -------------------------------------------------------------


def library_file():
    return importlib.machinery.PathFinder.find_spec("pretrain").origin


@pytest.fixture
def library_copy(tmp_path):
    """A copy of the library with a package directory holding data files."""
    lib = tmp_path / "lib"
    package = lib / "pretrain"
    (package / "sub").mkdir(parents=True)
    shutil.copy(library_file(), lib)
    (package / "data.txt").write_bytes("héllo\nworld\n".encode())
    (package / "sub" / "b.bin").write_bytes(b"\x00\x01")
    return lib


def run_in_copy(library_copy, code):
    prologue = f"""
        import importlib.resources, os, sys
        LIB = {str(library_copy)!r}
        PKG = os.path.join(LIB, "pretrain")
        import pretrain
        assert pretrain.__file__ == os.path.join(PKG, "__init__.py")
        finder = pretrain.__loader__
    """
    return run_python(textwrap.dedent(prologue) + textwrap.dedent(code), extra_path=[library_copy])


def test_resource_reader(library_copy):
    run_in_copy(library_copy, """
        reader = finder.get_resource_reader("pretrain")
        assert repr(reader) == "<kaplet_resource_reader for 'pretrain'>"
        assert type(reader).__name__ == "kaplet_resource_reader"
        assert reader.resource_path("data.txt") == os.path.join(PKG, "data.txt")
        with reader.open_resource(filename="data.txt") as f:
            assert type(f).__name__ == "FileIO" and f.read() == "héllo\\nworld\\n".encode()
        # A submodule's reader answers for its package directory.
        image = finder.get_resource_reader("pretrain.image")
        assert image.resource_path("x") == os.path.join(PKG, "x")
        assert "pretrain.image" not in sys.modules
    """)


def test_files_walk_and_read(library_copy):
    run_in_copy(library_copy, """
        root = importlib.resources.files("pretrain")
        assert type(root).__name__ == "kaplet_resource_reader_files"
        assert repr(root) == "<kaplet_resource_reader_files for package 'pretrain' file ''>"
        assert os.fspath(root) == PKG and root.is_dir() and root.exists() and not root.is_file()
        assert sorted(repr(p) for p in root.iterdir()) == [
            "<kaplet_resource_reader_files for package 'pretrain' file 'data.txt'>",
            "<kaplet_resource_reader_files for package 'pretrain' file 'sub'>",
        ]
        data = root / "data.txt"
        assert data.is_file() and data.name == "data.txt"
        assert data.read_text(encoding="utf-8") == "héllo\\nworld\\n"
        assert data.read_text("latin-1") == "héllo\\nworld\\n".encode().decode("latin-1")
        assert data.read_bytes() == "héllo\\nworld\\n".encode()
        with data.open("r", encoding="utf-8", newline="") as f:
            assert f.readline() == "héllo\\n"
        with data.open() as f:
            assert f.mode == "r"
        nested = root.joinpath("sub", child="b.bin")
        sub_b = os.path.join("sub", "b.bin")
        assert repr(nested) == f"<kaplet_resource_reader_files for package 'pretrain' file {sub_b!r}>"
        assert nested.read_bytes() == b"\\x00\\x01"
        assert nested == root / "sub" / "b.bin" == root.joinpath(sub_b)
        assert [p.name for p in (root / "sub").iterdir()] == ["b.bin"]
        assert not (root / "missing").exists()
        # importlib.resources' own helpers work through the object.
        assert importlib.resources.read_text("pretrain", "data.txt", encoding="utf-8") == "héllo\\nworld\\n"
        with importlib.resources.as_file(data) as handed:
            assert handed is data
        try:
            root.joinpath("a", other="b")
        except TypeError:
            pass
        else:
            raise AssertionError("no TypeError")
    """)


def test_files_paths_and_comparisons(library_copy):
    run_in_copy(library_copy, """
        root = finder.get_resource_reader("pretrain.image").files()
        assert repr(root) == "<kaplet_resource_reader_files for package 'pretrain.image' file ''>"
        data = root / "data.txt"
        assert data.absolute().name == "data.txt"
        assert repr(data.absolute()) == (
            f"<kaplet_resource_reader_files for package 'pretrain.image' file {os.path.join(PKG, 'data.txt')!r}>")
        assert os.fspath(data.absolute()) == os.fspath(data)
        assert data.as_posix() == os.path.join(PKG, "data.txt").replace("\\\\", "/")
        parent = data.parent
        assert os.fspath(parent) == PKG and parent.name == "pretrain"
        assert os.fspath(parent.parent) == LIB
        assert root.name == "pretrain"
        assert data.__enter__() is data and data.__exit__(None, None, None) is None
        assert data.as_file() is data
        # Comparisons compare str() of both sides.
        other = root / "zz"
        assert data < other and other > data and data != other and data <= data and data >= data
        assert data == str(data) and not (data != str(data))
        assert data != parent  # same place, other relative path
        try:
            hash(data)
        except TypeError:
            pass
        else:
            raise AssertionError("hashable")
        try:
            root / 3
        except TypeError:
            pass
        else:
            raise AssertionError("no TypeError")
        try:
            type(root)()
        except TypeError:
            pass
        else:
            raise AssertionError("instantiable")
        import importlib_resources
        with importlib_resources.as_file(data) as handed:
            assert handed is data
        # importlib_resources accepts a module as anchor.
        import types
        stand_in = types.ModuleType("pretrain.image")
        stand_in.__spec__ = finder.find_spec("pretrain.image")
        assert repr(importlib_resources.files(stand_in)) == repr(root)
    """)


def test_resource_reader_for_unhandled_module():
    with pytest.raises(RuntimeError) as info:
        FINDER.get_resource_reader("json")
    assert str(info.value) == "Requested resource reader for unhandled module json"
    with pytest.raises(TypeError):
        FINDER.get_resource_reader()


def test_distributions():
    context = importlib.metadata.DistributionFinder.Context()
    assert list(FINDER.find_distributions(context)) == []
    assert list(FINDER.find_distributions(importlib.metadata.DistributionFinder.Context(name="pretrain"))) == []
    assert list(FINDER.find_distributions(context=context)) == []
    # The metadata machinery still finds what the path finder knows.
    assert importlib.metadata.version("numpy")
    assert any(d.metadata["Name"] == "numpy" for d in importlib.metadata.distributions())
    with pytest.raises(importlib.metadata.PackageNotFoundError):
        importlib.metadata.distribution("no-such-distribution-here")
