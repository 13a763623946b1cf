"""Times each analysis method of pretrain.analyzing_tools.ClsAnalyzingTool
against the same algorithm written as plain Python (PyClsAnalyzingTool
below), both run in this process on one synthetic dataset.

The dataset is written once into a temporary directory and removed at the
end: CLASSES class folders of FILES_PER_CLASS 1x1 PNG files each (100,000
files by default). Every figure is the best of REPEATS runs; the ratio is
native time / Python time (below 1 means the native tool is faster).

The size scan opens every file it looks at, so it is timed on the first
SIZE_SCAN_FILES files of the scan (set by giving both tools that path_list).

    .venv/bin/python bench/bench_analysis.py [--classes N] [--files-per-class N]
"""
import argparse
import io
import os
import random
import shutil
import sys
import tempfile
import time
from collections import Counter
from glob import glob
from pathlib import Path

from PIL import Image

from pretrain.analyzing_tools import ClsAnalyzingTool

img_ext = ['.jpg', '.jpeg', '.png', '.bmp', '.gif', '.tiff']


class PyClsAnalyzingTool:
    def __init__(self, dataset_path):
        self.dataset_path = dataset_path
        self.path_list = []
        self.classes = []
        self.category_image_map = {}
        self.category_distribution = {}
        self.image_format_distribution = {}
        self.image_size_distribution = {}

    async def get_path_list(self):
        path_list = [Path(p) for p in glob(str(Path(self.dataset_path, '**/*')), recursive=True)]
        self.path_list = [p for p in path_list if p.suffix in img_ext]
        return self.path_list

    async def get_data_list(self, callback=None):
        if callback is not None:
            await callback(1.0)

    async def get_category_distribution(self, callback=None):
        if len(self.path_list) == 0:
            await self.get_path_list()
        category_image_map = {}
        for i, path in enumerate(self.path_list):
            class_name = path.relative_to(self.dataset_path).parts[0]
            if class_name not in category_image_map:
                category_image_map[class_name] = []
            category_image_map[class_name].append(path)
            if callback is not None:
                await callback(i / len(self.path_list))
        counter = {k: len(v) for k, v in category_image_map.items()}
        self.category_distribution = counter
        self.classes = sorted(list(counter.keys()))
        self.category_image_map = category_image_map
        return self.category_distribution

    async def get_image_format_distribution(self):
        if len(self.path_list) == 0:
            await self.get_path_list()
        formats = [path.suffix for path in self.path_list]
        self.image_format_distribution = Counter(formats)
        return self.image_format_distribution

    async def get_image_size_distribution(self, callback=None):
        if len(self.path_list) == 0:
            await self.get_path_list()
        sizes = []
        for i, path in enumerate(self.path_list):
            with Image.open(path) as img:
                sizes.append(str(img.size))
            if callback is not None:
                await callback(i / len(self.path_list))
        self.image_size_distribution = Counter(sizes)
        return self.image_size_distribution

    async def get_random_images(self, n=6, category_balance=True):
        random_images = []
        if category_balance:
            if len(self.category_image_map) == 0:
                await self.get_category_distribution()
            for _ in range(n):
                class_name = random.choice(self.classes)
                random_images.append(random.choice(self.category_image_map[class_name]))
        else:
            if len(self.path_list) == 0:
                await self.get_path_list()
            random_images = random.sample(self.path_list, n)
        return random_images


def write_dataset(root, classes, files_per_class):
    buffer = io.BytesIO()
    Image.new("L", (1, 1)).save(buffer, "PNG")
    data = buffer.getvalue()
    for c in range(classes):
        folder = os.path.join(root, f"class_{c:03d}")
        os.mkdir(folder)
        for i in range(files_per_class):
            with open(os.path.join(folder, f"{i:05d}.png"), "wb") as f:
                f.write(data)


def drive(coroutine):
    """Runs a coroutine that never suspends (no callback) to its result."""
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("the coroutine suspended")


async def no_op(progress):
    pass


def best_times(tool_maker, call, repeats):
    """Best wall times (native, python) of driving call(tool) to its end;
    each run gets a new tool, made before the clock starts, and the two
    kinds take turns so that both see the same machine state."""
    best = {ClsAnalyzingTool: float("inf"), PyClsAnalyzingTool: float("inf")}
    for _ in range(repeats):
        for kind in best:
            tool = tool_maker(kind)()
            start = time.perf_counter()
            drive(call(tool))
            best[kind] = min(best[kind], time.perf_counter() - start)
    return best[ClsAnalyzingTool], best[PyClsAnalyzingTool]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--classes", type=int, default=100)
    parser.add_argument("--files-per-class", type=int, default=1000)
    parser.add_argument("--size-scan-files", type=int, default=20000)
    parser.add_argument("--random-draws", type=int, default=100000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    root = tempfile.mkdtemp(prefix="bench_analysis_")
    try:
        start = time.perf_counter()
        write_dataset(root, args.classes, args.files_per_class)
        total = args.classes * args.files_per_class
        print(f"dataset: {total} files in {args.classes} class folders under {root} "
              f"(written in {time.perf_counter() - start:.1f} s)")
        glob(str(Path(root, "**/*")), recursive=True)  # warm the directory cache

        scanned = {}
        for kind in (ClsAnalyzingTool, PyClsAnalyzingTool):
            tool = kind(root)
            drive(tool.get_path_list())
            drive(tool.get_category_distribution())
            scanned[kind] = tool
        native_paths = scanned[ClsAnalyzingTool].path_list
        python_paths = scanned[PyClsAnalyzingTool].path_list
        assert native_paths == python_paths and len(native_paths) == total
        assert scanned[ClsAnalyzingTool].category_distribution == scanned[PyClsAnalyzingTool].category_distribution

        def fresh(kind):
            return lambda: kind(root)

        def scanned_copy(kind, path_list=None):
            # A tool that has scanned and categorised already, as after
            # get_path_list and get_category_distribution.
            def make():
                tool = kind(root)
                source = scanned[kind]
                tool.path_list = list(source.path_list if path_list is None else path_list)
                tool.classes = source.classes
                tool.category_image_map = source.category_image_map
                return tool
            return make

        size_subset = native_paths[:args.size_scan_files]
        draws = args.random_draws
        cases = [
            ("get_path_list", fresh, lambda t: t.get_path_list()),
            ("get_category_distribution", scanned_copy, lambda t: t.get_category_distribution()),
            ("get_category_distribution(callback)", scanned_copy, lambda t: t.get_category_distribution(no_op)),
            ("get_image_format_distribution", scanned_copy, lambda t: t.get_image_format_distribution()),
            (f"get_image_size_distribution [first {len(size_subset)} files]",
             lambda kind: scanned_copy(kind, size_subset), lambda t: t.get_image_size_distribution()),
            (f"get_random_images(n={draws})", scanned_copy, lambda t: t.get_random_images(draws)),
            (f"get_random_images(n={total}, category_balance=False)", scanned_copy,
             lambda t: t.get_random_images(total, False)),
        ]

        print(f"{'method':58s} {'native s':>9s} {'python s':>9s} {'ratio':>6s}")
        for label, tool_maker, call in cases:
            native, python = best_times(tool_maker, call, args.repeats)
            print(f"{label:58s} {native:9.4f} {python:9.4f} {native / python:6.2f}", flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
