"""Exceptions passing through native functions and coroutines carry a
traceback entry for them, as the Python code's own frames would."""
import asyncio
import traceback

import pytest


def entries(exc):
    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


def test_function_entry_names_file_qualname_and_line():
    import pretrain.datasets as ds
    with pytest.raises(KeyError) as info:
        ds.SplitData().transform({})
    assert entries(info.value)[-1] == (ds.__file__, "SplitData.transform", 30)


def test_entry_keeps_the_name_given_at_definition():
    import pretrain.datasets as ds
    transform = ds.SplitData.transform
    transform.__qualname__ = "renamed"
    try:
        with pytest.raises(KeyError) as info:
            transform(ds.SplitData(), {})
    finally:
        transform.__qualname__ = "SplitData.transform"
    assert entries(info.value)[-1][1] == "SplitData.transform"


def test_argument_errors_add_no_entry():
    import pretrain.datasets as ds
    with pytest.raises(TypeError) as info:
        ds.SplitData.transform()
    assert all(name != "SplitData.transform" for _, name, _ in entries(info.value))


def test_entries_of_callers_come_before_the_callee(tmp_path):
    import pretrain.analyzing_tools as at
    import pretrain.datasets as ds
    (tmp_path / "stray").mkdir()
    (tmp_path / "stray" / "x.png").write_bytes(b"")
    dataset = ds.NeuDataset.__new__(ds.NeuDataset)
    dataset.tool = at.ClsAnalyzingTool(str(tmp_path))
    dataset.classes = ["0"]
    dataset.category_map = {}
    with pytest.raises(KeyError) as info:
        dataset.load_data_list()
    found = entries(info.value)
    names = [name for _, name, _ in found]
    assert names.index("NeuDataset.load_data_list") < names.index("NeuDataset.load_data_list2")
    assert found[-1] == (ds.__file__, "NeuDataset.load_data_list2", 77)
    assert ("NeuDataset.load_data_list", 96) in [(n, l) for _, n, l in found]


def test_exception_thrown_into_a_suspended_coroutine_names_the_await(tmp_path):
    import pretrain.analyzing_tools as at
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "x.png").write_bytes(b"")

    class Pause:
        def __await__(self):
            yield "paused"

    tool = at.ClsAnalyzingTool(str(tmp_path))
    coro = tool.get_data_list(lambda progress: Pause())
    assert coro.send(None) == "paused"
    with pytest.raises(ValueError) as info:
        coro.throw(ValueError("stop"))
    found = entries(info.value)
    assert found[-2] == (at.__file__, "ClsAnalyzingTool.get_data_list", 28)
    assert found[-1][1] == "__await__"


def test_module_level_entries_unchanged():
    from conftest import run_python
    proc = run_python("""
        import sys, traceback
        sys.modules['mmpretrain'] = None
        try:
            import pretrain.image
        except ImportError as e:
            tb = traceback.extract_tb(e.__traceback__)
            print([(f.name, f.lineno) for f in tb if f.filename.endswith('image.py')])
    """)
    assert "('<module pretrain.image>', 3)" in proc.stdout
