"""Size and load time of the --html page on many generated files with
thousands flagged: small noise PNGs, 10,000 per class folder, of which 7 in
100 are dark, light, flat, grey, blurred or a copy of the file before (in
another class). For each size: the page's size and thumbnails, the time
headless Chromium takes to its load event and until every thumbnail is
decoded (best of 3), and the time drawing the page from the JSON takes (a
fresh interpreter) next to the check's own, as a ratio.

Too long for `make bench`; run it on its own (needs chromium):

    .venv/bin/python bench/check_html_scale.py [--files 3000 100000]
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
from PIL import Image, ImageFilter

HERE = Path(__file__).resolve().parent
sys.path.append(str(HERE.parent))  # the repository root, for harness/
from harness.chromium import Chromium  # noqa: E402

PER_CLASS = 10_000
SIZE = (32, 24)
PLANTS = {
    0: lambda pixels: Image.fromarray(pixels // 6),
    1: lambda pixels: Image.fromarray(pixels // 6),
    2: lambda pixels: Image.fromarray(255 - pixels // 6),
    3: lambda pixels: Image.new("RGB", SIZE, (90, 120, 100)),
    4: lambda pixels: Image.fromarray(pixels).convert("L"),
    5: lambda pixels: Image.fromarray(pixels).filter(ImageFilter.GaussianBlur(4)),
}
COPY = 6  # i % 100 == COPY: a copy of file i - 1 in the next class


def generate(root, count):
    rng = np.random.default_rng(0)
    classes = -(-count // PER_CLASS) if count > PER_CLASS else max(2, count // 1000)
    per_class = -(-count // classes)
    previous = None
    for i in range(count):
        folder = root / f"class_{i // per_class:03d}"
        folder.mkdir(parents=True, exist_ok=True)
        target = folder / f"{i:06d}.png"
        if i % 100 == COPY and previous is not None:
            other = root / f"class_{(i // per_class + 1) % classes:03d}"
            other.mkdir(parents=True, exist_ok=True)
            shutil.copy(previous, other / f"copy_{i:06d}.png")
            continue
        pixels = rng.integers(0, 256, (SIZE[1], SIZE[0], 3), dtype=np.uint8)
        PLANTS.get(i % 100, Image.fromarray)(pixels).save(target, compress_level=1)
        previous = target


def run(arguments):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(HERE.parent), str(HERE.parent / "support"), os.environ.get("PYTHONPATH")])))
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, *arguments], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)
    if proc.returncode not in (0, 1):
        raise RuntimeError(proc.stderr[-2000:])
    return time.perf_counter() - start


DRAW = "import json, sys; from pretrain_check.html import write_html; " \
       "write_html(json.load(open(sys.argv[1])), sys.argv[2])"
DECODE_ALL = """Promise.all(Array.from(document.images).map(image => {
    image.loading = 'eager'; return image.decode(); })).then(() => document.images.length)"""


def load_seconds(page_file, times=3):
    """Best of `times`: to the load event, and until every thumbnail is decoded."""
    with Chromium() as browser:
        loads, decoded = [], []
        for _ in range(times):
            page = browser.page()
            loads.append(page.load(page_file))
            start = time.perf_counter()
            images = page.evaluate(DECODE_ALL)
            decoded.append(loads[-1] + time.perf_counter() - start)
            page.close()
        return min(loads), min(decoded), images


def measure(files, work):
    root = work / f"files_{files}"
    if not root.exists():
        print(f"(generating {files} files under {root})", file=sys.stderr, flush=True)
        generate(root, files)
    summary_file, page_file = work / "summary.json", work / "page.html"
    check = run(["-m", "pretrain_check", str(root), "--check", "--quiet", "--json", str(summary_file)])
    draw = run(["-c", DRAW, str(summary_file), str(page_file)])
    summary = json.loads(summary_file.read_text())
    flagged = sum(p["count"] for p in summary["problems"].values())
    load, decoded, images = load_seconds(page_file)
    return {"files": files, "flagged": flagged, "page_mib": page_file.stat().st_size / 2**20,
            "thumbnails": images, "load_s": load, "decoded_s": decoded, "check_s": check, "page_s": draw,
            "ratio": draw / check}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, nargs="+", default=[3000, 100_000])
    parser.add_argument("--root", type=Path, help="where to generate the files (kept; reused when present)")
    args = parser.parse_args()
    work = args.root or Path(tempfile.mkdtemp(prefix="pretrain_check_html_"))
    work.mkdir(parents=True, exist_ok=True)
    try:
        print(f"{'files':>8} {'flagged':>8} {'page':>9} {'images':>7} {'load':>7} {'decoded':>8} "
              f"{'check':>8} {'page':>7} {'ratio':>6}")
        for files in args.files:
            r = measure(files, work)
            print(f"{r['files']:>8} {r['flagged']:>8} {r['page_mib']:>5.2f} MiB {r['thumbnails']:>7} "
                  f"{r['load_s']:>6.2f}s {r['decoded_s']:>7.2f}s {r['check_s']:>7.1f}s {r['page_s']:>6.1f}s "
                  f"{r['ratio']:>6.2f}", flush=True)
    finally:
        if args.root is None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
