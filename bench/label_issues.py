"""Wrong labels found against planted ones (`make bench-labels`).

On the sample digits (10 classes, 1797 images, examples/configs/digits.py)
and on generated long-tailed glyphs (12 classes, 150 down to 15 images,
glyph_dataset.py), 5 % of the labels are flipped by moving files to another
class folder: either to any other class ("symmetric") or to the partner of a
fixed pair of classes ("pairs", 3<->8 and 1<->7 style). Then the K-fold run
gives out-of-sample probabilities through the config, and on exactly those
probabilities are compared: label_issues (confident learning, on the model's
probabilities and on the logit-adjusted ones), cleanlab's find_label_issues
(in its scratch environment, cleanlab_env.py) and the naive rule "most
probable class is not the given one": precision, recall and F1 against the
planted flips, the same within the rare classes (the smallest third), the
average precision of the two rankings, and the wall time of the K-fold run.

    python bench/label_issues.py [--epochs N] [--folds K] [--datasets digits glyphs]
        [--noise symmetric pairs] [--work-dir DIR]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
sys.path.insert(0, str(BENCH))

from cleanlab_env import cleanlab_python  # noqa: E402
from glyph_dataset import write_glyphs  # noqa: E402
from pretrain_check.config_check import load_config  # noqa: E402
from pretrain_check.labels.confident_learning import find_label_issues, label_quality, naive_issues  # noqa: E402
from pretrain_check.labels.cross_validation import out_of_sample  # noqa: E402

NOISE_RATE = 0.05
# Epochs of each fold's training (the config's schedule compressed to them):
# the glyphs have fewer images per class, and their rare classes only 12 per fold.
EPOCHS = {"digits": 4, "glyphs": 12}
DIGIT_PAIRS = [(3, 8), (1, 7), (4, 9), (5, 6), (0, 2)]

GLYPHS_CONFIG = """
_base_ = [{digits!r}]
classes = [f"g{{k:02d}}" for k in range({classes})]
model = dict(data_preprocessor=dict(num_classes={classes}), head=dict(num_classes={classes}))
train_dataloader = dict(dataset=dict(_delete_=True, type="NeuDataset", data_root={root!r},
    category_map={{c: c for c in classes}}, init_pipeline=[],
    pipeline=[dict(type="LoadImageFromFile", color_type="grayscale"), dict(type="Resize", scale=(32, 32)),
              dict(type="PackInputs")]))
"""
DIGITS_CONFIG = """
_base_ = [{digits!r}]
train_dataloader = dict(dataset=dict(data_root={root!r}, init_pipeline=[]))
"""


def class_folders(root):
    return sorted(p.name for p in root.iterdir() if p.is_dir())


def plant_flips(source, target, noise, seed=0):
    """A copy of the class-per-folder tree at `source` in `target` (hard
    links), 5 % of its files moved to another class; returns {path in
    target: true class position} and {path: given class position}."""
    rng = np.random.default_rng(seed)
    names = class_folders(source)
    files = [(f, label) for label, name in enumerate(names) for f in sorted((source / name).iterdir())]
    truth = np.array([label for _, label in files])
    given = truth.copy()
    flips = int(round(NOISE_RATE * len(files)))
    if noise == "symmetric":
        chosen = rng.choice(len(files), flips, replace=False)
        given[chosen] = (truth[chosen] + rng.integers(1, len(names), flips)) % len(names)
    else:
        pairs = DIGIT_PAIRS if len(names) == 10 else [(k, k + 1) for k in range(0, len(names) - 1, 2)]
        partner = {a: b for a, b in pairs} | {b: a for a, b in pairs}
        eligible = np.flatnonzero(np.isin(truth, list(partner)))
        chosen = rng.choice(eligible, flips, replace=False)
        given[chosen] = [partner[t] for t in truth[chosen]]
    if target.exists():
        shutil.rmtree(target)
    true_of = {}
    for (path, _), true_label, label in zip(files, truth, given):
        folder = target / names[label]
        folder.mkdir(parents=True, exist_ok=True)
        copy = folder / f"{names[true_label]}_{path.name}"
        os.link(path, copy)
        true_of[str(copy)] = true_label
    return true_of


def cleanlab_flags(python, labels, probs):
    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        np.save(scratch / "labels.npy", labels)
        np.save(scratch / "probs.npy", probs)
        subprocess.run([str(python), str(BENCH / "cleanlab_label_issues.py"), str(scratch / "labels.npy"),
                        str(scratch / "probs.npy"), str(scratch / "out.npy")],
                       check=True, env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
        return np.load(scratch / "out.npy")


def measured(flagged, wrong, within=None):
    """precision, recall, F1 of the flagged positions against the planted
    mask, optionally only over the images where `within` holds."""
    mask = np.zeros(len(wrong), dtype=bool)
    mask[flagged] = True
    if within is not None:
        mask, wrong = mask[within], wrong[within]
    hits = int((mask & wrong).sum())
    precision = hits / mask.sum() if mask.sum() else 1.0
    recall = hits / wrong.sum() if wrong.sum() else 1.0
    f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
    return dict(flagged=int(mask.sum()), precision=precision, recall=recall, f1=f1)


def average_precision(quality, wrong):
    order = np.argsort(quality, kind="stable")
    hits = np.cumsum(wrong[order])
    return float((hits / np.arange(1, len(order) + 1))[wrong[order]].mean())


def evaluate(found, true_of, python):
    labels, wrong = found.labels, np.array([true_of[p] for p in found.paths]) != found.labels
    counts = np.bincount(labels, minlength=len(found.classes))
    rare = np.isin(labels, np.argsort(counts, kind="stable")[:max(1, len(counts) // 3)])
    methods = {
        "label_issues": find_label_issues(labels, found.probs).positions,
        "label_issues, logit-adjusted": find_label_issues(labels, found.adjusted).positions,
        "naive (predicted != given)": naive_issues(labels, found.probs),
    }
    if python is not None:
        methods["cleanlab find_label_issues"] = cleanlab_flags(python, labels, found.probs)
        methods["cleanlab, logit-adjusted"] = cleanlab_flags(python, labels, found.adjusted)
    return {
        "images": len(labels), "planted": int(wrong.sum()),
        "accuracy_vs_given": float((found.probs.argmax(axis=1) == labels).mean()),
        "methods": {name: dict(all=measured(flagged, wrong), rare=measured(flagged, wrong, rare))
                    for name, flagged in methods.items()},
        "ranking_average_precision": {rank: average_precision(label_quality(labels, found.probs, rank), wrong)
                                      for rank in ("normalized_margin", "self_confidence")},
    }


def config_for(dataset, root, work):
    digits = str(REPO / "examples" / "configs" / "digits.py")
    text = (DIGITS_CONFIG.format(digits=digits, root=str(root)) if dataset == "digits" else
            GLYPHS_CONFIG.format(digits=digits, root=str(root), classes=len(class_folders(root))))
    config = work / f"{root.name}.py"
    config.write_text(text)
    return config


def print_table(results):
    print("| data | noise | method | precision | recall | F1 | rare: flagged | rare: precision | rare: recall |")
    print("|---|---|---|---|---|---|---|---|---|")
    for (dataset, noise), result in results.items():
        for name, found in result["methods"].items():
            every, rare = found["all"], found["rare"]
            print(f"| {dataset} | {noise} | {name} | {every['precision']:.3f} | {every['recall']:.3f} | "
                  f"{every['f1']:.3f} | {rare['flagged']} | {rare['precision']:.3f} | {rare['recall']:.3f} |")
    print()
    print("| data | noise | images | planted | accuracy vs given | K-fold wall time | "
          "ranking AP: normalised margin | self-confidence |")
    print("|---|---|---|---|---|---|---|---|")
    for (dataset, noise), result in results.items():
        ap = result["ranking_average_precision"]
        print(f"| {dataset} | {noise} | {result['images']} | {result['planted']} | "
              f"{result['accuracy_vs_given']:.3f} | {result['seconds']:.0f} s ({result['folds']} folds x "
              f"{result['epochs']} epochs) | "
              f"{ap['normalized_margin']:.3f} | {ap['self_confidence']:.3f} |")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=None,
                        help=f"each fold's, the schedule compressed to them (default {EPOCHS})")
    parser.add_argument("--folds", type=int, default=5)
    parser.add_argument("--datasets", nargs="+", default=["digits", "glyphs"], choices=["digits", "glyphs"])
    parser.add_argument("--noise", nargs="+", default=["symmetric", "pairs"], choices=["symmetric", "pairs"])
    parser.add_argument("--work-dir", type=Path, default=REPO / "build" / "bench_labels")
    args = parser.parse_args(argv)
    work = args.work_dir.resolve()
    work.mkdir(parents=True, exist_ok=True)
    python, why = cleanlab_python()
    if python is None:
        print(f"cleanlab left out: {why}", file=sys.stderr)
    sources = {"digits": REPO / "data" / "digits", "glyphs": work / "glyphs"}
    if "glyphs" in args.datasets and not sources["glyphs"].exists():
        write_glyphs(sources["glyphs"])
    results = {}
    for dataset in args.datasets:
        for noise in args.noise:
            root = work / f"{dataset}_{noise}"
            true_of = plant_flips(sources[dataset], root, noise)
            began = time.perf_counter()
            epochs = args.epochs or EPOCHS[dataset]
            found = out_of_sample(load_config(config_for(dataset, root, work)), folds=args.folds, epochs=epochs,
                                  work_dir=work / "folds")
            seconds = time.perf_counter() - began
            results[dataset, noise] = dict(evaluate(found, true_of, python), seconds=seconds,
                                           epochs=epochs, folds=args.folds)
            (work / "results.json").write_text(json.dumps({f"{d} {n}": r for (d, n), r in results.items()},
                                                          indent=2))
    print_table(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
