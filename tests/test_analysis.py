"""pretrain.analyzing_tools: the dataset analysis tool and its demonstration."""
import asyncio
import collections
import inspect
import os
import random
import sys
import warnings
from glob import glob
from pathlib import Path

import pytest
from PIL import Image, UnidentifiedImageError

import pretrain.analyzing_tools as analyzing_tools
from pretrain.analyzing_tools import ClsAnalyzingTool
from conftest import REPO, run_python

IMG_EXT = [".jpg", ".jpeg", ".png", ".bmp", ".gif", ".tiff"]


def touch(root, *names):
    for name in names:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"")


def save_image(path, mode="L", size=(28, 28), fmt="PNG"):
    path.parent.mkdir(parents=True, exist_ok=True)
    Image.new(mode, size).save(path, fmt)


@pytest.fixture
def mixed(tmp_path):
    """a/x.jpg, a/y.JPG, a/t.tif, b/z.png, b/sub/w.jpeg, the directory c.png, r.jpg."""
    touch(tmp_path, "a/x.jpg", "a/y.JPG", "a/t.tif", "b/z.png", "b/sub/w.jpeg", "r.jpg", ".hidden/h.png")
    (tmp_path / "c.png").mkdir()
    return tmp_path


@pytest.fixture
def img_ext():
    """Restores the module's img_ext after a test that changes it."""
    saved = analyzing_tools.img_ext
    contents = list(saved)
    yield
    saved[:] = contents
    analyzing_tools.img_ext = saved


def run(coroutine):
    return asyncio.run(coroutine)


def test_module_attributes_in_order():
    names = [n for n in vars(analyzing_tools) if not n.startswith("__")]
    assert names == ["random", "Counter", "glob", "Path", "Image", "img_ext", "ClsAnalyzingTool", "main"]
    assert analyzing_tools.img_ext == IMG_EXT
    assert analyzing_tools.glob is glob and analyzing_tools.Path is Path
    assert analyzing_tools.Counter is collections.Counter and analyzing_tools.random is random
    assert analyzing_tools.Image is Image


def test_class_shape():
    cls = ClsAnalyzingTool
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__module__ == "pretrain.analyzing_tools" and cls.__doc__ is None
    assert [n for n in vars(cls) if not n.startswith("__")] == [
        "get_path_list", "get_data_list", "get_category_distribution", "get_image_format_distribution",
        "get_image_size_distribution", "get_random_images"]
    assert cls.__init__.__qualname__ == "ClsAnalyzingTool.__init__"
    assert str(inspect.signature(cls.__init__)) == "(self, dataset_path)"
    assert str(inspect.signature(cls.get_random_images)) == "(self, n=6, category_balance=True)"
    assert str(inspect.signature(cls.get_category_distribution)) == "(self, callback=None)"
    for name in ("get_path_list", "get_image_format_distribution"):
        assert str(inspect.signature(getattr(cls, name))) == "(self)"


def test_constructor_sets_empty_attributes_in_order(tmp_path):
    tool = ClsAnalyzingTool(tmp_path)
    assert list(vars(tool)) == ["dataset_path", "path_list", "classes", "category_image_map",
                                "category_distribution", "image_format_distribution", "image_size_distribution"]
    assert tool.dataset_path is tmp_path
    assert tool.path_list == [] and tool.classes == [] and tool.category_image_map == {}
    assert type(tool.image_format_distribution) is dict and type(tool.image_size_distribution) is dict


def test_path_list_of_a_mixed_tree(mixed):
    tool = ClsAnalyzingTool(str(mixed))
    result = run(tool.get_path_list())
    assert result is tool.path_list
    scan_order = [Path(p) for p in glob(str(mixed / "**/*"), recursive=True)]
    expected = [mixed / n for n in ("a/x.jpg", "b/z.png", "b/sub/w.jpeg", "c.png", "r.jpg")]
    assert sorted(result) == sorted(expected)
    assert result == [p for p in scan_order if p in expected]
    assert all(type(p) is type(Path()) for p in result)
    # The objects are pathlib's own, parsed as pathlib parses them.
    assert [p.parts for p in result] == [Path(str(p)).parts for p in result]


def test_categories_of_a_mixed_tree(mixed):
    tool = ClsAnalyzingTool(mixed)
    distribution = run(tool.get_category_distribution())
    assert distribution is tool.category_distribution and type(distribution) is dict
    assert distribution == {"a": 1, "b": 2, "c.png": 1, "r.jpg": 1}
    first_seen = list(dict.fromkeys(p.relative_to(mixed).parts[0] for p in tool.path_list))
    assert list(distribution) == first_seen
    assert list(tool.category_image_map) == first_seen
    assert tool.classes == ["a", "b", "c.png", "r.jpg"]
    assert sorted(tool.category_image_map["b"]) == [mixed / "b/sub/w.jpeg", mixed / "b/z.png"]
    flattened = [p for files in tool.category_image_map.values() for p in files]
    assert sorted(flattened) == sorted(tool.path_list)


def test_classes_sort_by_code_point(tmp_path):
    touch(tmp_path, "2/x.png", "10/x.png", "a/x.png", "B/x.png")
    tool = ClsAnalyzingTool(tmp_path)
    run(tool.get_category_distribution())
    assert tool.classes == ["10", "2", "B", "a"]


def test_img_ext_is_read_from_the_module_at_call_time(mixed, img_ext):
    tool = ClsAnalyzingTool(mixed)
    analyzing_tools.img_ext.append(".tif")
    assert mixed / "a/t.tif" in run(tool.get_path_list())
    analyzing_tools.img_ext = [".JPG"]
    assert run(tool.get_path_list()) == [mixed / "a/y.JPG"]


def test_module_names_are_read_at_call_time(mixed, monkeypatch):
    class MyPath(type(Path())):
        pass

    calls = []
    monkeypatch.setattr(analyzing_tools, "Path", MyPath)
    monkeypatch.setattr(analyzing_tools, "glob", lambda *a, **k: calls.append((a, k)) or glob(*a, **k))
    tool = ClsAnalyzingTool(mixed)
    paths = run(tool.get_path_list())
    assert calls == [((str(mixed / "**/*"),), {"recursive": True})]
    assert len(paths) == 5 and all(type(p) is MyPath for p in paths)
    assert run(tool.get_category_distribution()) == {"a": 1, "b": 2, "c.png": 1, "r.jpg": 1}


def test_progress_callback(tmp_path):
    touch(tmp_path, "a/1.png", "a/2.png", "b/3.png", "b/4.png")
    for size in ("a/1.png", "a/2.png", "b/3.png", "b/4.png"):
        save_image(tmp_path / size)
    seen = []

    async def callback(progress):
        seen.append(progress)

    tool = ClsAnalyzingTool(tmp_path)
    run(tool.get_category_distribution(callback))
    assert seen == [0.0, 0.25, 0.5, 0.75] and all(type(v) is float for v in seen)
    seen.clear()
    run(tool.get_image_size_distribution(callback=callback))
    assert seen == [0.0, 0.25, 0.5, 0.75]
    seen.clear()
    run(ClsAnalyzingTool(tmp_path / "missing").get_category_distribution(callback))
    assert seen == []


def test_callback_must_be_callable_and_return_an_awaitable(tmp_path):
    touch(tmp_path, "a/1.png", "a/2.png")
    tool = ClsAnalyzingTool(tmp_path)
    with pytest.raises(TypeError, match="'bool' object is not callable"):
        run(tool.get_category_distribution(False))
    calls = []
    with pytest.raises(TypeError, match="object int can't be used in 'await' expression"):
        run(tool.get_category_distribution(lambda v: calls.append(v) or 0))
    assert calls == [0.0]
    assert tool.category_distribution == {} and tool.classes == [] and tool.category_image_map == {}


def test_get_data_list(tmp_path):
    seen = []

    async def callback(progress):
        seen.append(progress)
        return "ignored"

    tool = ClsAnalyzingTool(tmp_path)
    assert run(tool.get_data_list(callback)) is None
    assert seen == [1.0] and tool.path_list == []
    assert run(tool.get_data_list()) is None


def test_format_distribution(tmp_path):
    touch(tmp_path, "a/x.png", "a/y.png", "b/z.jpg")
    tool = ClsAnalyzingTool(tmp_path)
    formats = run(tool.get_image_format_distribution())
    assert formats is tool.image_format_distribution
    assert type(formats) is collections.Counter and formats == {".png": 2, ".jpg": 1}
    assert run(ClsAnalyzingTool(tmp_path / "none").get_image_format_distribution()) == collections.Counter()


def test_size_distribution_counts_grey_and_colour_alike(tmp_path):
    save_image(tmp_path / "a/grey.png", "L")
    save_image(tmp_path / "b/colour.jpg", "RGB", fmt="JPEG")
    save_image(tmp_path / "b/wide.bmp", "RGB", size=(30, 20), fmt="BMP")
    tool = ClsAnalyzingTool(tmp_path)
    sizes = run(tool.get_image_size_distribution())
    assert sizes is tool.image_size_distribution and type(sizes) is collections.Counter
    assert sizes == {"(28, 28)": 2, "(30, 20)": 1}


def open_descriptors():
    """How many files the process has open, where the system tells (Linux)."""
    if os.name != "posix" or not os.path.isdir("/proc/self/fd"):
        return None
    return len(os.listdir("/proc/self/fd"))


def test_corrupt_image_stops_the_size_scan_and_leaves_no_file_open(tmp_path):
    save_image(tmp_path / "a/0.png")
    (tmp_path / "a/1.png").write_bytes(b"not an image")
    tool = ClsAnalyzingTool(tmp_path)
    run(tool.get_path_list())
    tool.path_list.sort()
    seen = []

    async def callback(progress):
        seen.append(progress)

    before = open_descriptors()
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        with pytest.raises(UnidentifiedImageError, match="cannot identify image file"):
            run(tool.get_image_size_distribution(callback))
    assert open_descriptors() == before
    assert seen == [0.0] and tool.image_size_distribution == {}
    # Windows refuses to delete a file that is still open.
    (tmp_path / "a/1.png").unlink()


def test_directory_named_like_an_image_fails_the_size_scan(mixed):
    tool = ClsAnalyzingTool(mixed)
    run(tool.get_path_list())
    tool.path_list = [mixed / "c.png"]
    # Windows refuses to open a directory as a file with "permission denied".
    with pytest.raises(IsADirectoryError if os.name != "nt" else PermissionError):
        run(tool.get_image_size_distribution())


def test_no_rescan_while_path_list_is_filled(mixed, monkeypatch):
    scans = []
    monkeypatch.setattr(analyzing_tools, "glob", lambda *a, **k: scans.append(1) or glob(*a, **k))
    tool = ClsAnalyzingTool(mixed)
    first = run(tool.get_category_distribution())
    touch(mixed, "d/new.png")
    second = run(tool.get_category_distribution())
    assert first == second and first is not second and "d" not in second
    run(tool.get_image_format_distribution())
    run(tool.get_random_images())
    assert len(scans) == 1
    run(tool.get_path_list())
    assert len(scans) == 2 and mixed / "d/new.png" in tool.path_list


def test_empty_dataset_rescans_every_time(tmp_path, monkeypatch):
    scans = []
    monkeypatch.setattr(analyzing_tools, "glob", lambda *a, **k: scans.append(1) or glob(*a, **k))
    tool = ClsAnalyzingTool(tmp_path / "does-not-exist")
    assert run(tool.get_category_distribution()) == {} and tool.classes == []
    assert run(tool.get_image_size_distribution()) == collections.Counter()
    assert len(scans) == 2


def test_random_images(tmp_path):
    touch(tmp_path, "only/1.png", "only/2.png", "only/3.png")
    tool = ClsAnalyzingTool(tmp_path)
    drawn = run(tool.get_random_images(n=10))
    assert len(drawn) == 10 and set(drawn) <= set(tool.path_list) and len(set(drawn)) < 10
    assert run(tool.get_random_images(0)) == []
    permutation = run(tool.get_random_images(n=3, category_balance=False))
    assert sorted(permutation) == sorted(tool.path_list) and permutation is not tool.path_list
    with pytest.raises(ValueError, match="Sample larger than population or is negative"):
        run(tool.get_random_images(4, category_balance=0))
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        run(tool.get_random_images(1.5))


def test_random_images_use_the_shared_generator(tmp_path):
    touch(tmp_path, "a/1.png", "a/2.png", "b/3.png", "c/4.png", "c/5.png")
    tool = ClsAnalyzingTool(tmp_path)
    run(tool.get_category_distribution())
    random.seed(7)
    drawn = run(tool.get_random_images(20))
    random.seed(7)
    expected = []
    for _ in range(20):
        name = random.choice(tool.classes)
        expected.append(random.choice(tool.category_image_map[name]))
    assert drawn == expected


def test_random_images_of_an_empty_dataset(tmp_path):
    tool = ClsAnalyzingTool(tmp_path)
    with pytest.raises(IndexError, match="Cannot choose from an empty sequence"):
        run(tool.get_random_images(1))
    with pytest.raises(ValueError, match="Sample larger than population"):
        run(tool.get_random_images(1, False))
    assert run(tool.get_random_images(0)) == run(tool.get_random_images(0, False)) == []


def test_failures_leave_attributes_unchanged(tmp_path):
    touch(tmp_path, "a/1.png")
    tool = ClsAnalyzingTool(tmp_path)
    run(tool.get_category_distribution())
    before = (tool.category_distribution, tool.classes, tool.category_image_map)
    tool.path_list = [tmp_path / "a/1.png", Path("/elsewhere/x.png")]
    with pytest.raises(ValueError, match="is not in the subpath of"):
        run(tool.get_category_distribution())
    assert (tool.category_distribution, tool.classes, tool.category_image_map) == before
    assert before[0] is tool.category_distribution
    with pytest.raises(TypeError):
        run(ClsAnalyzingTool(None).get_path_list())


class PlainPythonTool:
    """The signatures of the tool, as def statements make them."""
    def __init__(self, dataset_path):
        pass

    async def get_random_images(self, n=6, category_balance=True):
        pass

    async def get_data_list(self, callback=None):
        pass


@pytest.mark.parametrize("call", [
    lambda cls: cls(),
    lambda cls: cls("a", "b"),
    lambda cls: cls(path="a"),
    lambda cls: cls("a").get_random_images(1, 2, 3),
    lambda cls: cls("a").get_random_images(1, n=2),
    lambda cls: cls("a").get_data_list(cb=None),
])
def test_argument_errors_match_the_interpreter(call):
    with pytest.raises(TypeError) as python_error:
        call(PlainPythonTool)
    with pytest.raises(TypeError) as native_error:
        call(ClsAnalyzingTool)
    assert str(native_error.value) == str(python_error.value).replace("PlainPythonTool", "ClsAnalyzingTool")


def test_import_does_not_run_main():
    assert "asyncio" not in vars(analyzing_tools)
    assert analyzing_tools.main.__qualname__ == "main"
    assert asyncio.iscoroutinefunction(analyzing_tools.main)


def test_run_as_main_on_the_sample_dataset():
    proc = run_python(None, args=("-m", "pretrain.analyzing_tools"), env={"PRETRAIN_SAMPLE_DATA": None})
    out = proc.stdout
    assert proc.stderr == ""
    digits = REPO / "data" / "digits"
    expected = {str(d): len(os.listdir(digits / str(d))) for d in range(10)}
    assert sum(expected.values()) == 1797
    head = out[:out.index("}") + 1]
    assert eval(head) == expected
    samples = [line for line in out.splitlines() if "Path(" in line]
    assert len(samples) == 6 and all("/digits/" in line for line in samples)
    assert out.rstrip().endswith("Counter({'(8, 8)': 1797})")


def test_run_as_main_honours_the_sample_data_variable(tmp_path):
    save_image(tmp_path / "cat/1.png", size=(3, 2))
    save_image(tmp_path / "dog/2.png", size=(3, 2))
    code = """
        import runpy
        g = runpy.run_module("pretrain.analyzing_tools", run_name="__main__")
        print(g["ClsAnalyzingTool"].__module__, "asyncio" in g)
    """
    out = run_python(code, env={"PRETRAIN_SAMPLE_DATA": str(tmp_path)}).stdout
    assert "{'cat': 1, 'dog': 1}" in out and "Counter({'(3, 2)': 2})" in out
    assert out.splitlines()[-1] == "__main__ True"
