"""`pretrain-check --config CONFIG.py`: the training, validation and test
datasets of an mmengine config, built through the registries (after the
config's custom_imports), each with its class counts and imbalance ratio,
and the leakage between them: the same file, files with the same bytes, or
near duplicates (near_duplicates.py) that sit in two different parts.

mmengine and the stack are imported only here, only in this mode."""
import contextlib
import os
import sys
from collections import Counter, defaultdict

import numpy as np

from .duplicates import same_content
from .image_checks import measure_files, tiny
from .near_duplicates import near_groups
from .sizes import byte_size

PARTS = ("train", "val", "test")


def built_parts(config_file):
    """{part: dataset} for the parts the config has, built as the runner
    builds them. The datasets' own printing goes to standard error."""
    from mmengine.config import Config
    from mmengine.registry import init_default_scope
    config = Config.fromfile(str(config_file))  # imports the config's custom_imports
    init_default_scope(config.get("default_scope", "mmpretrain"))
    from mmpretrain.registry import DATASETS
    parts = {}
    with contextlib.redirect_stdout(sys.stderr):
        for part in PARTS:
            loader = config.get(f"{part}_dataloader")
            if loader and loader.get("dataset"):
                dataset = DATASETS.build(loader["dataset"])
                dataset.full_init()
                parts[part] = dataset
    return parts


def part_summary(dataset):
    """(paths, {"images", "classes", "imbalance_ratio"}) of one part."""
    names = list(dataset.metainfo.get("classes") or [])
    paths, labels = [], Counter()
    for index in range(len(dataset)):
        info = dataset.get_data_info(index)
        paths.append(os.fspath(info["img_path"]))
        label = int(info["gt_label"])
        labels[names[label] if label < len(names) else str(label)] += 1
    counts = dict(sorted(labels.items()))
    ratio = max(counts.values()) / min(counts.values()) if counts else None
    return paths, {"images": len(paths), "classes": counts, "imbalance_ratio": ratio}


def leakage(part_paths, workers, progress):
    """The groups of files that sit in two or more parts, and the files that
    could not be measured."""
    parts_of = defaultdict(set)
    for part, paths in part_paths.items():
        for path in paths:
            parts_of[path].add(part)
    names = list(parts_of)
    found, measured, failures = measure_files(names, workers, progress)
    kept = np.flatnonzero(measured)
    candidates = [([name], "same file", 0) for name in names if len(parts_of[name]) > 1]
    lengths = [byte_size(name) for name in names]
    candidates += [(same, "same bytes", 0) for _, same in same_content(names, lengths, workers)]
    candidates += [([names[kept[i]] for i in group], "near duplicates", distance)
                   for group, distance in near_groups(found["phash"][kept], found["dhash"][kept], tiny(found[kept]))]
    groups, seen = [], set()
    for files, how, distance in candidates:
        parts = sorted(set().union(*(parts_of[f] for f in files)), key=PARTS.index)
        key = frozenset(files)
        if len(parts) > 1 and key not in seen:
            seen.add(key)
            groups.append({"files": sorted(files), "parts": parts, "how": how, "distance": distance})
    return groups, [{"path": names[i], "error": text} for i, text in failures]


def check_config(config_file, workers, reporter):
    parts = built_parts(config_file)
    part_paths, summaries = {}, {}
    for part, dataset in parts.items():
        part_paths[part], summaries[part] = part_summary(dataset)
    total = len({p for paths in part_paths.values() for p in paths})
    groups, failures = leakage(part_paths, workers, reporter.step("measuring every image of every part", total))
    return {
        "config": str(config_file),
        "parts": summaries,
        "problems": {
            "leakage": {"count": len(groups), "files": sum(len(g["files"]) for g in groups), "groups": groups},
            "not_checked": {"count": len(failures), "files": failures},
        },
    }


def print_config_summary(summary):
    print(f"config {summary['config']}: parts {', '.join(summary['parts']) or 'none'}")
    for part, found in summary["parts"].items():
        ratio = found["imbalance_ratio"]
        print(f"  {part}: {found['images']} images in {len(found['classes'])} classes"
              + (f", imbalance ratio {ratio:.2f}" if ratio else ""))
        print("    " + ", ".join(f"{name} {count}" for name, count in found["classes"].items()))
    leaks = summary["problems"]["leakage"]
    if leaks["count"]:
        print(f"  leakage (files or near duplicates in two parts): {leaks['count']} groups")
        for group in leaks["groups"]:
            print(f"    {' & '.join(group['parts'])} ({group['how']}): {', '.join(group['files'])}")
    failures = summary["problems"]["not_checked"]
    for failure in failures["files"]:
        print(f"  not checked: {failure['path']}: {failure['error']}")
    if not leaks["count"] and not failures["count"]:
        print("no problems found")
