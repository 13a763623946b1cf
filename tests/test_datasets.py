"""pretrain.datasets: SplitData, RepeatData, NeuDataset and the module's start-up."""
import asyncio
import json
import logging
import re

import numpy as np
import pytest

from conftest import REPO, run_python

SAMPLE_DATA = REPO / "data" / "digits"
DIGIT_COUNTS = [f"{d}: {n}" for d, n in enumerate([178, 182, 177, 183, 181, 182, 181, 179, 174, 180])]


@pytest.fixture(scope="module")
def ds():
    import pretrain.datasets
    return pretrain.datasets


def split(ds, entries, **config):
    results = {"data_list": entries}
    return ds.SplitData(**config)(results)["data_list"]


# ---- SplitData ---------------------------------------------------------------

@pytest.mark.parametrize("n, start, end, expected", [
    (100, 0, 0.29, list(range(28))),        # 100 * 0.29 == 28.999999999999996
    (7, 0, 0.8, list(range(5))),            # 5.6 truncated
    (0, 0, 0.8, []),
    (10, 0.5, 0.5, []),
    (10, 0.7, 0.3, []),
    (10, -0.2, 1.0, [8, 9]),                # -2 counts from the end
    (10, -0.2, 0.8, []),                    # -2 (that is 8) up to 8
    (10, 0.2, 1.5, list(range(2, 10))),     # past the end is clipped
    (10, -0.99, 0.1, []),                   # int(-9.9) is -9, not -10
])
def test_split_positions_truncate_and_slice(ds, n, start, end, expected):
    assert split(ds, list(range(n)), start=start, end=end, random=False) == expected


@pytest.mark.parametrize("start, error", [(float("nan"), ValueError), (float("inf"), OverflowError),
                                          (None, TypeError)])
def test_split_bad_fraction_propagates(ds, start, error):
    with pytest.raises(error):
        split(ds, list(range(4)), start=start, random=False)


def test_split_log_message(ds, caplog):
    caplog.set_level(logging.INFO)
    split(ds, list(range(100)))
    split(ds, list(range(10)), start=0.0, end=0.5)
    split(ds, [], end=1)
    assert [(r.name, r.levelno, r.args) for r in caplog.records] == [("root", logging.INFO, ())] * 3
    assert [r.getMessage() for r in caplog.records] == [
        "【SplitData】划分数据集，start=0, end=0.8，数据集大小：100，划分大小：80",
        "【SplitData】划分数据集，start=0.0, end=0.5，数据集大小：10，划分大小：5",
        "【SplitData】划分数据集，start=0, end=1，数据集大小：0，划分大小：0",
    ]


def test_split_shuffles_in_place_with_numpy_generator(ds):
    entries = [{"i": i} for i in range(50)]
    original = list(entries)
    results = {"data_list": entries}
    returned = ds.SplitData(end=0.5, seed=7)(results)
    assert returned is results
    expected = list(original)
    np.random.default_rng(7).shuffle(expected)
    assert entries == expected                    # the caller's list was reordered
    assert results["data_list"] is not entries    # a new list is stored
    assert results["data_list"] == expected[:25]
    assert all(a is b for a, b in zip(results["data_list"], entries))


def test_split_is_deterministic_per_seed(ds):
    def order(seed):
        return split(ds, list(range(30)), end=1.0, seed=seed)
    assert order(3) == order(3)
    assert order(3) != order(4)
    assert sorted(order(3)) == list(range(30))


def test_split_without_shuffle_keeps_order_and_custom_key(ds):
    entries = list(range(10))
    results = {"rows": entries, "data_list": "untouched"}
    ds.SplitData(random=False, key="rows")(results)
    assert entries == list(range(10))
    assert results == {"rows": list(range(8)), "data_list": "untouched"}
    with pytest.raises(KeyError, match="rows"):
        ds.SplitData(key="rows")({"data_list": []})


def test_split_random_uses_truth_test(ds):
    assert split(ds, list(range(10)), random=0) == list(range(8))
    assert split(ds, list(range(10)), random=[1], end=1.0) != list(range(10))


# ---- RepeatData ----------------------------------------------------------------

def test_repeat_times(ds):
    a, b = object(), object()
    entries = [a, b]
    results = {"data_list": entries}
    assert ds.RepeatData()(results) is results
    assert all(x is y for x, y in zip(results["data_list"], [a, b, a, b]))
    assert len(results["data_list"]) == 4
    assert ds.RepeatData(times=0)({"data_list": entries})["data_list"] == []
    assert ds.RepeatData(-3)({"data_list": entries})["data_list"] == []
    once = ds.RepeatData(1)({"data_list": entries})["data_list"]
    assert once == entries and once is not entries
    with pytest.raises(TypeError, match="can't multiply sequence by non-int of type 'float'"):
        ds.RepeatData(1.5)({"data_list": entries})


def test_repeat_key_is_fixed(ds):
    results = {"rows": list(range(10)), "data_list": ["x"]}
    ds.SplitData(random=False, key="rows")(results)
    ds.RepeatData(3)(results)
    assert results == {"rows": list(range(8)), "data_list": ["x", "x", "x"]}
    with pytest.raises(KeyError, match="data_list"):
        ds.RepeatData()({"rows": []})


# ---- classes as Python sees them -------------------------------------------------

def test_transform_classes_surface(ds):
    import inspect
    from mmcv.transforms.base import BaseTransform
    from mmengine.registry import TRANSFORMS
    from mmpretrain.datasets.custom import DATASETS
    assert TRANSFORMS.get("SplitData") is ds.SplitData
    assert TRANSFORMS.get("RepeatData") is ds.RepeatData
    assert DATASETS.get("NeuDataset") is ds.NeuDataset
    assert issubclass(ds.SplitData, BaseTransform) and issubclass(ds.RepeatData, BaseTransform)
    assert [k for k in vars(ds.SplitData) if not k.startswith("_abc") and k not in ("__doc__", "__abstractmethods__")] \
        == ["__module__", "__init__", "transform"]
    assert ds.SplitData.__module__ == "pretrain.datasets"
    assert str(inspect.signature(ds.SplitData)) == "(start=0, end=0.8, random=True, seed=42, key='data_list')"
    assert type(ds.SplitData().start) is int
    assert vars(ds.SplitData(1, 2, 3, 4, 5)) == {"start": 1, "end": 2, "random": 3, "seed": 4, "key": 5}
    assert str(inspect.signature(ds.RepeatData)) == "(times=2)"
    from typing import Dict
    assert ds.SplitData.transform.__annotations__ == {"results": Dict}
    assert ds.RepeatData.transform.__annotations__ == {"results": Dict}
    assert [f.__qualname__ for f in (ds.SplitData.__init__, ds.SplitData.transform,
                                     ds.RepeatData.__init__, ds.RepeatData.transform)] == [
        "SplitData.__init__", "SplitData.transform", "RepeatData.__init__", "RepeatData.transform"]
    assert [k for k in vars(ds.NeuDataset) if k in ("__init__", "filter_data", "load_data_list2",
                                                  "load_data_list")] == [
        "__init__", "filter_data", "load_data_list2", "load_data_list"]


def test_argument_errors(ds):
    with pytest.raises(TypeError, match=r"^SplitData.__init__\(\) got an unexpected keyword argument 'x'$"):
        ds.SplitData(x=1)
    with pytest.raises(TypeError, match=r"^RepeatData.__init__\(\) takes from 1 to 2 positional arguments "
                                        r"but 3 were given$"):
        ds.RepeatData(1, 2)
    with pytest.raises(TypeError, match=r"^NeuDataset.__init__\(\) missing 2 required positional arguments: "
                                        r"'init_pipeline' and 'category_map'$"):
        ds.NeuDataset()
    with pytest.raises(TypeError, match=r"^SplitData.transform\(\) missing 1 required positional argument: "
                                        r"'results'$"):
        ds.SplitData().transform()
    with pytest.raises(KeyError, match="data_root"):
        ds.NeuDataset([], {"a": "a"})


def test_module_attributes(ds):
    import mmpretrain
    names = list(vars(ds))
    assert names[names.index("time"):] == [
        "time", "logging", "asyncio", "Dict", "start", "TRANSFORMS", "Compose", "BaseTransform",
        "init_default_scope", "CustomDataset", "DATASETS", "mmpretrain", "ClsAnalyzingTool",
        "SplitData", "RepeatData", "NeuDataset", "main"]
    assert ds.mmpretrain is mmpretrain
    assert isinstance(ds.start, float)
    assert not asyncio.iscoroutinefunction(ds.main)


# ---- NeuDataset on the sample data with the real analysis tool ---------------------

def test_build_through_registry_and_fetch(ds, capsys):
    import torch
    from mmengine.registry import init_default_scope
    init_default_scope("mmpretrain")
    dataset = ds.DATASETS.build(dict(
        type="NeuDataset", data_root=str(SAMPLE_DATA),
        category_map={str(d): ("even" if d % 2 == 0 else "odd") for d in range(10)},
        init_pipeline=[dict(type="SplitData", end=0.1), dict(type="RepeatData", times=2)],
        pipeline=[dict(type="LoadImageFromFile"), dict(type="PackInputs")]))
    out = capsys.readouterr().out
    assert out.startswith("类别分布: \n")
    assert dataset.CLASSES == ("even",) * 5 + ("odd",) * 5
    assert sum(dataset.category_dist.values()) == 1797
    assert sorted(dataset.category_dist) == ["even", "odd"]
    assert len(dataset) == 2 * int(1797 * 0.1)
    item = dataset[0]
    assert isinstance(item["inputs"], torch.Tensor) and tuple(item["inputs"].shape) == (3, 8, 8)
    assert item["data_samples"].gt_label.tolist() in ([0], [5])
    coro = dataset.load_data_list2()
    assert (coro.__name__, coro.__qualname__) == ("load_data_list2", "NeuDataset.load_data_list2")
    other = dataset.load_data_list2()
    assert asyncio.iscoroutine(coro) and other is not coro
    other.close()
    entries = asyncio.run(coro)
    assert len(entries) == 1797 and list(entries[0]) == ["img_path", "gt_label"]


# ---- NeuDataset with a stand-in tool (fresh interpreter) ------------------------------

# A stand-in analysis tool whose "data root" is a JSON file naming its classes
# and its class-to-images map; it records the order of the awaited calls.
FAKE_TOOL = '''
import asyncio, json

calls = []

class ClsAnalyzingTool:
    def __init__(self, root):
        self.root = root
        self.classes = []
        self.category_image_map = {}

    async def get_path_list(self):
        calls.append("get_path_list")
        await asyncio.sleep(0)
        return "ignored"

    async def get_category_distribution(self):
        calls.append("get_category_distribution")
        await asyncio.sleep(0)
        with open(self.root) as f:
            found = json.load(f)
        self.classes = found["classes"]
        self.category_image_map = found["map"]
        return "ignored"
'''

SCENARIOS = '''
import asyncio, contextlib, io, json, os
import pretrain.datasets as ds
from ravelin.pretrain import analyzing_tools

def build(name, category_map, init_pipeline=(), **extra):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        dataset = ds.NeuDataset(list(init_pipeline), category_map, data_root=ROOTS[name],
                                serialize_data=False, **extra)
    return dataset, out.getvalue()

def describe(dataset, printed):
    return {"classes": dataset.classes, "CLASSES": list(dataset.CLASSES), "printed": printed,
            "dist": dataset.category_dist,
            "entries": [[e["img_path"], e["gt_label"], type(e["gt_label"]).__name__] for e in dataset.data_list]}

report = {}
ROOTS = json.loads(os.environ["FAKE_TOOL_ROOTS"])
fold, printed = build("fold", {"c": "y", "a": "x", "b": "x"})
report["fold"] = describe(fold, printed)
report["calls"] = analyzing_tools.calls
report["same_list"] = fold.filter_data() is fold.data_list
report["targets"] = describe(*build("fold", {"a": "x", "b": "x", "c": "10", "d": "2"}))
report["empty_folder"] = describe(*build("empty_folder", {"a": "x", "b": "y"}))
report["nothing"] = describe(*build("nothing", {"a": "x"}))
report["replaced"] = describe(*build("fold", {"a": "a", "b": "b", "c": "c"}, classes=["q"]))
split, printed = build("fold", {"a": "x", "b": "x", "c": "y"},
                       [dict(type="SplitData", end=0.5, random=False)])
report["split"] = describe(split, printed)

fold.classes = ["x"]
try:
    asyncio.run(fold.load_data_list2())
except Exception as e:
    report["unknown"] = [type(e).__name__, str(e)]
try:
    build("stray", {"a": "x"})
except KeyError as e:
    report["stray"] = repr(e)
print("REPORT" + json.dumps(report))
'''


def test_category_map_cases(fake_ravelin, tmp_path):
    roots = {}
    for name, found in {
        "fold": {"classes": ["a", "b", "c"], "map": {"a": ["a1", "a2"], "b": ["b1"], "c": ["c1"]}},
        "empty_folder": {"classes": ["a", "b"], "map": {"a": ["a1"], "b": []}},
        "nothing": {"classes": [], "map": {}},
        "stray": {"classes": ["a", "z"], "map": {"a": ["a1"], "z": ["z1"]}},
    }.items():
        path = tmp_path / f"{name}.json"
        path.write_text(json.dumps(found))
        roots[name] = str(path)
    root = fake_ravelin({
        "ravelin/__init__.py": "",
        "ravelin/pretrain/__init__.py": "",
        "ravelin/pretrain/analyzing_tools.py": FAKE_TOOL,
    })
    proc = run_python(SCENARIOS, extra_path=[root], env={"FAKE_TOOL_ROOTS": json.dumps(roots)})
    report = json.loads(proc.stdout.split("REPORT", 1)[1])

    fold = report["fold"]
    assert fold["classes"] == ["x", "x", "y"] == fold["CLASSES"]
    assert fold["entries"] == [["a1", 0, "int"], ["a2", 0, "int"], ["b1", 0, "int"], ["c1", 2, "int"]]
    assert fold["printed"] == "类别分布: \nx: 3\ny: 1\n"
    assert fold["dist"] == {"x": 3, "y": 1}
    assert report["calls"][:2] == ["get_path_list", "get_category_distribution"]
    assert report["same_list"] is True

    targets = report["targets"]               # "10" sorts before "2"; "2" has no folder
    assert targets["classes"] == ["10", "2", "x", "x"]
    assert [e[1] for e in targets["entries"]] == [2, 2, 2, 0]
    assert targets["printed"] == "类别分布: \nx: 3\n10: 1\n"

    empty = report["empty_folder"]
    assert empty["printed"] == "类别分布: \nx: 1\ny: 0\n"
    assert empty["entries"] == [["a1", 0, "int"]] and empty["dist"] == {"x": 1, "y": 0}

    nothing = report["nothing"]
    assert nothing["printed"] == "类别分布: \n" and nothing["entries"] == [] and nothing["dist"] == {}

    assert report["replaced"]["CLASSES"] == ["a", "b", "c"]

    split = report["split"]                   # the counts describe the full list
    assert split["dist"] == {"x": 3, "y": 1}
    assert [e[0] for e in split["entries"]] == ["a1", "a2"]

    assert report["unknown"] == ["Exception", "Unknown classes: {'y'}"]
    assert report["stray"] == "KeyError('z')"


def test_import_time_lines_printed_once():
    proc = run_python("""
        import pretrain.datasets
        import pretrain.datasets
        print("END")
    """)
    assert re.fullmatch(r"\nmmengine import time: \d+\.\d{6}ms\nmmpretrain import time: \d+\.\d{6}ms\nEND\n",
                        proc.stdout), proc.stdout


def test_main_builds_the_sample_dataset():
    proc = run_python("""
        import logging, sys
        logging.basicConfig(level=logging.INFO, format="LOG %(message)s", stream=sys.stdout)
        import pretrain.datasets
        pretrain.datasets.main()
    """)
    lines = proc.stdout.splitlines()
    first = lines.index("类别分布: ")
    # one line per folder, in the order the tool met them
    assert sorted(lines[first + 1:first + 11]) == DIGIT_COUNTS
    assert "LOG 【SplitData】划分数据集，start=0.0, end=0.8，数据集大小：1797，划分大小：1437" in lines
    assert "Dataset NeuDataset" in lines
    assert lines[-1] == str(tuple(str(d) for d in range(10)))


def test_run_as_main_module():
    proc = run_python(None, args=["-m", "pretrain.datasets"])
    lines = proc.stdout.splitlines()
    assert lines[0] == "" and lines[1].startswith("mmengine import time: ")
    assert lines[2].startswith("mmpretrain import time: ")
    assert lines[3] == "类别分布: " and sorted(lines[4:14]) == DIGIT_COUNTS
    assert "    Number of samples: \t1437" in lines
    assert lines[-1] == str(tuple(str(d) for d in range(10)))
