"""A long-tailed training part and a balanced validation part of a
class-per-folder dataset, as mmengine dataset configs built from the package's
`NeuDataset` and `SplitData` only.

Each class becomes its own `NeuDataset` (over a directory that holds just that
class's folder) whose seeded `SplitData` shuffles the class and keeps its first
n images for training or a later fraction of it for validation (by default the
last 20 %; several held-out fractions give validation and test parts); the
same seed makes the parts disjoint. `ConcatDataset` joins the classes. Class k of C keeps
n_k = int(largest * ratio ** (-k / (C - 1))) training images, so the counts fall
exponentially from `largest` to `largest / ratio` (the CIFAR-LT recipe).
"""
import asyncio
import os
import shutil
from pathlib import Path

from pretrain.analyzing_tools import ClsAnalyzingTool

VALIDATION_START = 0.8


def long_tail_counts(num_classes, largest, ratio):
    return [int(largest * ratio ** (-k / (num_classes - 1))) for k in range(num_classes)]


def class_sizes(data_root):
    tool = ClsAnalyzingTool(str(data_root))
    return dict(asyncio.run(tool.get_category_distribution()))


def single_class_roots(data_root, classes, views_dir):
    """views_dir/<c> holds only the folder <c> of data_root (a link to it, or a
    copy where links are not allowed or not made)."""
    roots = {}
    for c in classes:
        root = Path(views_dir) / c
        view = root / c
        if view.is_symlink():
            view.unlink()  # data_root may have moved since the last run
        if not view.exists():
            root.mkdir(parents=True, exist_ok=True)
            try:
                os.symlink(Path(data_root, c).resolve(), view, target_is_directory=True)
            except OSError:
                pass
            # Wine's os.symlink reports success and makes nothing
            if not view.is_dir():
                shutil.copytree(Path(data_root, c), view)
        roots[c] = root
    return roots


def _class_part(root, classes, start, end, seed, pipeline):
    # serialize_data=False: serialising runs a full garbage collection per
    # dataset, which for these small parts costs far more than it saves
    return dict(type="NeuDataset", data_root=str(root), category_map={c: c for c in classes},
                init_pipeline=[dict(type="SplitData", start=start, end=end, random=True, seed=seed)],
                pipeline=pipeline, serialize_data=False)


def long_tail_datasets(data_root, classes, views_dir, *, largest, ratio, seed, pipeline, held_out=None):
    """(train dataset config, validation dataset config, training counts per
    class); with `held_out`, a list of (start, end) fractions, the second item
    is the list of their balanced dataset configs instead."""
    parts = held_out or [(VALIDATION_START, 1.0)]
    sizes = class_sizes(data_root)
    roots = single_class_roots(data_root, classes, views_dir)
    counts = long_tail_counts(len(classes), largest, ratio)
    train, balanced = [], [[] for _ in parts]
    for c, n in zip(classes, counts):
        if n > int(sizes[c] * min(start for start, _ in parts)):
            raise ValueError(f"class {c} has {sizes[c]} images, too few for {n} training images")
        # half an image over n, so that SplitData's truncation keeps exactly n
        train.append(_class_part(roots[c], classes, 0.0, (n + 0.5) / sizes[c], seed, pipeline))
        for part, (start, end) in zip(balanced, parts):
            part.append(_class_part(roots[c], classes, start, end, seed, pipeline))
    balanced = [dict(type="ConcatDataset", datasets=part) for part in balanced]
    return (dict(type="ConcatDataset", datasets=train), balanced if held_out else balanced[0],
            dict(zip(classes, counts)))
