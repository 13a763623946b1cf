"""Per-call cost of the package against its plain-Python reference
(harness/reference.py), both run in this process: transforms, coroutine
driving, the NeuDataset list build, predict, plus import time and the peak
memory of the 1M-entry build (each in fresh interpreters).

Every ratio is native / Python (below 1: the native package is faster), the
median of alternating runs.

    .venv/bin/python bench/bench_calls.py [--quick]
"""
import argparse
import contextlib
import gc
import io
import itertools
import json
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.append(str(HERE.parent))  # the repository root, for harness/

from harness import reference  # noqa: E402
from pretrain_check.coroutines import drive  # noqa: E402

ENTRIES_PER_CLASS = 10_000
CLASSES = 100


def timed(fn):
    """CPU time of one run: on a shared machine the wall clock also counts
    the time other processes held the core."""
    gc.collect()
    start = time.process_time()
    fn()
    return time.process_time() - start


def compare(name, native, python, repeats, floor=None):
    """Alternates the two loops `repeats` times; medians and their ratio
    (and the median time of `floor`, the least any implementation must spend)."""
    native_times, python_times, floor_times = [], [], []
    for warm_up in (native, python, floor):  # first runs pay for page faults and caches
        if warm_up is not None:
            warm_up()
    for _ in range(repeats):
        native_times.append(timed(native))
        python_times.append(timed(python))
        if floor is not None:
            floor_times.append(timed(floor))
    n, p = statistics.median(native_times), statistics.median(python_times)
    row = {"name": name, "native": n, "python": p, "ratio": n / p}
    if floor is not None:
        row["floor"] = statistics.median(floor_times)
    return row


class FakeTool:
    """The analysis tool's interface with a prepared result: CLASSES folders
    of ENTRIES_PER_CLASS paths each."""
    prepared = None

    def __init__(self, data_root=None):
        if FakeTool.prepared is None:
            FakeTool.prepared = {
                f"c{k:03d}": [f"/data/c{k:03d}/{i}.png" for i in range(ENTRIES_PER_CLASS)]
                for k in range(CLASSES)
            }
        self.category_image_map = FakeTool.prepared
        self.classes = sorted(FakeTool.prepared)

    async def get_path_list(self):
        return []

    async def get_category_distribution(self):
        return {}


def bare_dataset(cls):
    """An instance ready for load_data_list2, without the base constructor."""
    dataset = cls.__new__(cls)
    dataset.tool = FakeTool()
    dataset.category_map = {name: name for name in dataset.tool.classes}
    dataset.classes = sorted(dataset.category_map.values())
    return dataset


def per_call_rows(pyref, quick):
    import pretrain.analyzing_tools as native_tools
    import pretrain.datasets as native

    scale = 10 if quick else 1
    repeats = 3 if quick else 7

    def repeat_transform(module):
        t = module.RepeatData(1)
        d = {"data_list": [1]}
        count = 200_000 // scale

        def run():
            for _ in range(count):
                t.transform(d)
        return run

    def repeat_transform_inline():
        t = pyref.datasets.RepeatData(1)
        d = {"data_list": [1]}
        count = 200_000 // scale

        def run():
            for _ in range(count):
                d["data_list"] = d["data_list"] * t.times
        return run

    yield compare("RepeatData(1).transform, 1 item, 200k", repeat_transform(native),
                  repeat_transform(pyref.datasets), repeats, floor=repeat_transform_inline())

    def constructions(cls, *args):
        count = 200_000 // scale

        def run():
            for _ in range(count):
                cls(*args)
        return run

    def repeat_construction_inline():
        cls = pyref.datasets.RepeatData
        new = cls.__new__
        count = 200_000 // scale

        def run():
            for _ in range(count):
                new(cls).times = 2
        return run

    yield compare("RepeatData() construction, 200k", constructions(native.RepeatData),
                  constructions(pyref.datasets.RepeatData), repeats, floor=repeat_construction_inline())

    def split_transform(module):
        t = module.SplitData(random=False)
        items = list(range(10))
        count = 100_000 // scale

        def run():
            for _ in range(count):
                t.transform({"data_list": items})
        return run

    def split_transform_inline():
        import logging
        self = pyref.datasets.SplitData(random=False)
        items = list(range(10))
        count = 100_000 // scale

        def run():
            for _ in range(count):
                results = {"data_list": items}
                data_list = results[self.key]
                if self.random:
                    pass
                n_total = len(data_list)
                start_index = int(n_total * self.start)
                end_index = int(n_total * self.end)
                split_data_list = data_list[start_index:end_index]
                results[self.key] = split_data_list
                logging.info(f"【SplitData】划分数据集，start={self.start}, end={self.end}，"
                             f"数据集大小：{n_total}，划分大小：{len(split_data_list)}")
        return run

    yield compare("SplitData(random=False).transform, 10 items, 100k", split_transform(native),
                  split_transform(pyref.datasets), repeats, floor=split_transform_inline())

    def construction_inline():
        # the instance and its seven attributes, with no call of __init__
        cls = pyref.analyzing_tools.ClsAnalyzingTool
        new = cls.__new__
        count = 200_000 // scale

        def run():
            for _ in range(count):
                self = new(cls)
                self.dataset_path = "/data"
                self.path_list = []
                self.classes = []
                self.category_image_map = {}
                self.category_distribution = {}
                self.image_format_distribution = {}
                self.image_size_distribution = {}
        return run

    yield compare("ClsAnalyzingTool(root) construction, 200k",
                  constructions(native_tools.ClsAnalyzingTool, "/data"),
                  constructions(pyref.analyzing_tools.ClsAnalyzingTool, "/data"), repeats,
                  floor=construction_inline())

    def coroutine(module):
        tool = module.ClsAnalyzingTool("/nonexistent")
        count = 200_000 // scale

        def run():
            for _ in range(count):
                try:
                    tool.get_data_list().send(None)
                except StopIteration:
                    pass
        return run

    def coroutine_floor():
        # what driving any coroutine to its end costs: the StopIteration
        count = 200_000 // scale

        def run():
            for _ in range(count):
                try:
                    raise StopIteration
                except StopIteration:
                    pass
        return run

    yield compare("driving tool.get_data_list() to completion, 200k", coroutine(native_tools),
                  coroutine(pyref.analyzing_tools), repeats, floor=coroutine_floor())

    def build(module):
        dataset = bare_dataset(module.NeuDataset)

        def run():
            with contextlib.redirect_stdout(io.StringIO()):
                drive(dataset.load_data_list2())
        return run

    def allocation_floor():
        # the same million two-key dicts in a list, made by C code alone
        template = {"img_path": None, "gt_label": 0}
        list(map(dict.copy, itertools.repeat(template, CLASSES * ENTRIES_PER_CLASS)))

    yield compare(f"NeuDataset.load_data_list2, {CLASSES * ENTRIES_PER_CLASS:,} entries", build(native),
                  build(pyref.datasets), 3 if quick else 5, floor=allocation_floor)

    yield from construction_rows(native, pyref, quick)
    yield from predict_rows(pyref, quick)


@contextlib.contextmanager
def patched_tool(*modules):
    saved = [m.ClsAnalyzingTool for m in modules]
    for m in modules:
        m.ClsAnalyzingTool = FakeTool
    try:
        yield
    finally:
        for m, tool in zip(modules, saved):
            m.ClsAnalyzingTool = tool


def construction_rows(native, pyref, quick):
    from mmpretrain.datasets.custom import DATASETS

    def build(module):
        config = dict(type=module.NeuDataset, data_root="/data", category_map={f"c{k:03d}": f"c{k:03d}"
                                                                            for k in range(CLASSES)},
                      init_pipeline=[], pipeline=[], serialize_data=False)

        def run():
            with contextlib.redirect_stdout(io.StringIO()):
                DATASETS.build(dict(config))
        return run

    with patched_tool(native, pyref.datasets):
        yield compare(f"NeuDataset through DATASETS, {CLASSES * ENTRIES_PER_CLASS:,} entries", build(native),
                      build(pyref.datasets), 3)


def predict_rows(pyref, quick):
    import torch
    from mmengine.model import BaseModule
    from mmpretrain.registry import MODELS

    import pretrain.cls_head
    import pretrain.image

    @MODELS.register_module(force=True)
    class BenchTinyBackbone(BaseModule):
        def forward(self, x):
            return (x,)

    def model(image_module, head_module):
        m = MODELS.build(dict(type=image_module.ImageClassifier, backbone=dict(type="BenchTinyBackbone"),
                              head=dict(type=head_module.LinearClsHead, num_classes=3, in_channels=4)))
        m.head.bias = torch.zeros(3)
        m.eval()
        return m

    native_model = model(pretrain.image, pretrain.cls_head)
    python_model = model(pyref.image, pyref.cls_head)
    inputs = torch.zeros(1, 4)
    count = 2_000 if quick else 20_000

    def run(m):
        def go():
            with torch.no_grad():
                for _ in range(count):
                    m.predict(inputs)
        return go

    def inline(m):
        # the body of predict in the caller's loop
        def go():
            with torch.no_grad():
                for _ in range(count):
                    feats = m.extract_feat(inputs)
                    cls_score = m.head.forward(feats)
                    cls_score -= m.head.bias
                    m._get_predictions(cls_score, None)
        return go

    yield compare(f"ImageClassifier.predict, tiny model, {count:,} calls", run(native_model), run(python_model),
                  3 if quick else 5, floor=inline(python_model))


# ---- fresh interpreters: import time and peak memory ------------------------

STACK = """
import asyncio, collections, glob, logging, pathlib, random, time, typing, pprint
import numpy, torch, PIL.Image
import mmengine.registry, mmengine.dataset.base_dataset, mmcv.transforms.base
import mmpretrain.datasets.custom, mmpretrain.datasets.transforms, mmpretrain.registry, mmpretrain.structures
import mmpretrain.models.heads.linear_head, mmpretrain.models.classifiers.image
import ravelin.base.meta_class, ravelin.pretrain
"""

IMPORT_CHILD = STACK + """
import contextlib, importlib, importlib.util, io, json, sys, time
package, native = sys.argv[1], sys.argv[2] == "native"
times = {}
def timed(name):
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        importlib.import_module(name)
    return time.perf_counter() - start
if native and len(sys.argv) > 3:
    sys.path.insert(0, sys.argv[3])
    importlib.util.find_spec("bench_no_such_module")  # the directory's finder exists, as site-packages' does
    times["empty extension"] = timed("bench_empty_extension")
times["package"] = timed(package)
times["analyzing_tools"] = timed(package + ".analyzing_tools")
if native:
    import ravelin.pretrain.analyzing_tools
for sub in ("cls_head", "image", "datasets"):
    times[sub] = timed(package + "." + sub)
times["all"] = sum(t for name, t in times.items() if name != "empty extension")
print(json.dumps(times))
"""

MEMORY_CHILD = STACK + """
import contextlib, gc, io, json, sys
sys.path[:0] = sys.argv[3:]
import bench_calls
if sys.argv[1] == "native":
    import pretrain.datasets as module
else:
    import pyref.datasets as module
def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
dataset = bench_calls.bare_dataset(module.NeuDataset)
gc.collect()
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak restarts from the current resident size
before = peak_kib()
with contextlib.redirect_stdout(io.StringIO()):
    data_list = bench_calls.drive(dataset.load_data_list2())
after = peak_kib()
print(json.dumps({"before": before, "after": after, "entries": len(data_list)}))
"""


def child(code, *args, extra_path=()):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*map(str, extra_path), env.get("PYTHONPATH", "")])
    out = subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


EMPTY_EXTENSION = """
#include <Python.h>
static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "bench_empty_extension"};
PyMODINIT_FUNC PyInit_bench_empty_extension(void) { return PyModule_Create(&definition); }
"""


def build_empty_extension(directory):
    """Builds the smallest extension module there is: its import time is what
    loading any shared library costs here, the floor of a native package.
    Returns whether the compiler built it."""
    source = Path(directory) / "bench_empty_extension.c"
    source.write_text(EMPTY_EXTENSION)
    target = Path(directory) / ("bench_empty_extension" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = (sysconfig.get_config_var("CC") or "cc").split()[0]
    try:
        subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-I", sysconfig.get_paths()["include"],
                        str(source), "-o", str(target)], check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return False
    return True


def import_rows(quick):
    repeats = 1 if quick else 5
    with tempfile.TemporaryDirectory() as directory, tempfile.TemporaryDirectory() as empty:
        reference.write_reference_package(directory, for_same_process=False)
        floor_args = [empty] if build_empty_extension(empty) else []
        native, python = [], []
        for _ in range(repeats):
            native.append(child(IMPORT_CHILD, "pretrain", "native", *floor_args))
            python.append(child(IMPORT_CHILD, "pyref", "python", extra_path=[directory]))
    names = {"package": "pretrain", "all": "pretrain and its four submodules"}
    for key in ("package", "analyzing_tools", "cls_head", "image", "datasets", "all"):
        n = statistics.median(t[key] for t in native)
        p = statistics.median(t[key] for t in python)
        row = {"name": f"import {names.get(key, 'pretrain.' + key)} beyond the stack",
               "native": n, "python": p, "ratio": n / p}
        if key == "package" and floor_args:
            row["floor"] = statistics.median(t["empty extension"] for t in native)
        yield row


def memory_rows(quick):
    with tempfile.TemporaryDirectory() as directory:
        reference.write_reference_package(directory, for_same_process=False)
        paths = [str(HERE), directory]
        n = child(MEMORY_CHILD, "native", "x", *paths, extra_path=paths)
        p = child(MEMORY_CHILD, "python", "x", *paths, extra_path=paths)
    # ru_maxrss is in KiB on Linux; the figures are MiB.
    grown_n, grown_p = n["after"] - n["before"], p["after"] - p["before"]
    yield {"name": "peak RSS growth during the 1M-entry build", "native": grown_n / 1024,
           "python": grown_p / 1024, "ratio": grown_n / grown_p if grown_p else float("nan"), "unit": "MiB"}


def rows(quick=False, sections=("calls", "imports", "memory")):
    if "calls" in sections:
        with tempfile.TemporaryDirectory() as directory:
            with contextlib.redirect_stdout(io.StringIO()):
                import pretrain.datasets  # noqa: F401  (the native classes first: the reference re-registers)
                pyref = reference.import_reference(directory)
            yield from per_call_rows(pyref, quick)
    if "imports" in sections:
        yield from import_rows(quick)
    if "memory" in sections:
        yield from memory_rows(quick)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--sections", default="calls,imports,memory")
    args = parser.parse_args()
    import run
    run.print_table(rows(args.quick, args.sections.split(",")))


if __name__ == "__main__":
    main()
