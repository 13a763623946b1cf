"""`pretrain-check --config CONFIG.py`: the training, validation and test
datasets of an mmengine config, built through the registries (after the
config's custom_imports), each with its class counts and imbalance ratio,
and the leakage between them: the same file, files with the same bytes, or
near duplicates (near_duplicates.py) that sit in two different parts. Parts
built from the same dataset settings (a config's `test_dataloader =
val_dataloader`) are one dataset, checked once.

mmengine and the stack are imported only here, only in this mode."""
import contextlib
import os
import sys
from collections import Counter, defaultdict
from pathlib import Path

from .arguments import UsageError
from .duplicates import same_content
from .facts import Facts
from .running import measure_stage
from .sizes import byte_size
from .summary import imbalance

PARTS = ("train", "val", "test")


def load_config(config_file):
    from mmengine.config import Config
    return Config.fromfile(str(config_file))  # imports the config's custom_imports


def built_parts(config):
    """{part: dataset} for the parts the config has, built as the runner
    builds them, and {part: the earlier part with the same dataset settings}.
    The datasets' own printing goes to standard error."""
    from mmengine.registry import init_default_scope
    init_default_scope(config.get("default_scope", "mmpretrain"))
    from mmpretrain.registry import DATASETS
    parts, same_as, settings = {}, {}, {}
    with contextlib.redirect_stdout(sys.stderr):
        for part in PARTS:
            loader = config.get(f"{part}_dataloader")
            if not (loader and loader.get("dataset")):
                continue
            earlier = next((p for p, s in settings.items() if s == loader["dataset"]), None)
            if earlier:
                same_as[part] = earlier
                continue
            settings[part] = loader["dataset"]
            try:
                dataset = DATASETS.build(loader["dataset"])
                dataset.full_init()
            except Exception as error:  # the config's mistake, before any work
                raise UsageError(f"the {part} dataset of the config cannot be built "
                                 f"({type(error).__name__}: {error})") from None
            parts[part] = dataset
    return parts, same_as


def part_files(dataset):
    """(paths, class names) of one part's samples."""
    names = list(dataset.metainfo.get("classes") or [])
    paths, classes = [], []
    for index in range(len(dataset)):
        info = dataset.get_data_info(index)
        paths.append(os.fspath(info["img_path"]))
        label = int(info["gt_label"])
        classes.append(names[label] if label < len(names) else str(label))
    return paths, classes


def part_summary(classes, same_as=None):
    counts = dict(sorted(Counter(classes).items()))
    return {"images": len(classes), "classes": counts, "imbalance_ratio": imbalance(counts), "same_as": same_as}


def leaks(facts, parts_of, workers):
    """The groups of files that sit in two or more parts."""
    names = facts.names
    candidates = [([name], "same file", 0) for name in names if len(parts_of[name]) > 1]
    lengths = [byte_size(name) for name in names]
    candidates += [(same, "same bytes", 0) for _, same in same_content(names, lengths, workers)]
    candidates += [(files, "near duplicates", distance) for files, distance in facts.alike]
    groups, seen = [], set()
    for files, how, distance in candidates:
        parts = sorted(set().union(*(parts_of[f] for f in files)), key=PARTS.index)
        key = frozenset(files)
        if len(parts) > 1 and key not in seen:
            seen.add(key)
            groups.append({"files": sorted(files), "parts": parts, "how": how, "distance": distance})
    return groups


def run_config(config, workers, reporter):
    """(facts, overview, parts) of a loaded config: the overview covers the
    files of all parts together."""
    datasets, same_as = built_parts(config)
    facts = Facts("config")
    parts, parts_of, class_of = {}, defaultdict(set), {}
    for part, dataset in datasets.items():
        paths, classes = part_files(dataset)
        parts[part] = part_summary(classes)
        for path, name in zip(paths, classes):
            parts_of[path].add(part)
            class_of[path] = name
    for part, earlier in same_as.items():
        parts[part] = {**parts[earlier], "same_as": earlier}
    facts.class_of = class_of
    measure_stage(facts, list(parts_of), workers, reporter, "measuring every image of every part")
    facts.leaks = leaks(facts, parts_of, workers)
    facts.ran.add("parts")
    measured = facts.measures[facts.measured]
    overview = {"classes": dict(sorted(Counter(class_of.values()).items())),
                "formats": dict(Counter(Path(n).suffix for n in facts.names).most_common()),
                "sizes": Counter(str((int(w), int(h))) for w, h in zip(measured["width"], measured["height"])),
                "samples": []}
    return facts, overview, {part: parts[part] for part in PARTS if part in parts}
