"""Time and peak memory of `pretrain-check DIR` (the package's own scans)
and of `pretrain-check DIR --check` (every image check as well) on many
small generated files: distinct 24 x 16 noise PNGs, 10,000 per class
folder. Peak memory is the largest resident size of the command and its
worker processes (each measured apart).

Too long for `make bench` at full size; run it on its own:

    .venv/bin/python bench/check_scale.py [--files 1000000] [--root DIR]
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

PER_CLASS = 10_000
SIZE = (24, 16)


def generate(root, count):
    rng = np.random.default_rng(0)
    for start in range(0, count, PER_CLASS):
        folder = root / f"class_{start // PER_CLASS:03d}"
        folder.mkdir(parents=True, exist_ok=True)
        pixels = rng.integers(0, 256, (min(PER_CLASS, count - start), SIZE[1], SIZE[0], 3), dtype=np.uint8)
        for i, image in enumerate(pixels):
            Image.fromarray(image).save(folder / f"{i:05d}.png", compress_level=1)


def measure(arguments):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(Path(__file__).resolve().parent.parent / "support"), os.environ.get("PYTHONPATH")])))
    start = time.perf_counter()
    proc = subprocess.run(arguments, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    if proc.returncode not in (0, 1):
        raise RuntimeError(proc.stderr[-2000:])
    return seconds, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=1_000_000)
    parser.add_argument("--root", type=Path, help="where to generate the files (kept; reused when present)")
    args = parser.parse_args()
    root = args.root or Path(tempfile.mkdtemp(prefix="pretrain_check_scale_"))
    try:
        if not any(root.glob("class_*")):
            print(f"(generating {args.files} files under {root})", file=sys.stderr, flush=True)
            started = time.perf_counter()
            generate(root, args.files)
            print(f"(generated in {time.perf_counter() - started:.0f} s)", file=sys.stderr, flush=True)
        command = [sys.executable, "-m", "pretrain_check", str(root), "--quiet"]
        # RUSAGE_CHILDREN keeps the largest child so far: the smaller run goes first.
        for name, arguments in (("pretrain-check DIR", command), ("pretrain-check DIR --check", command + ["--check"])):
            seconds, peak = measure(arguments)
            print(f"{name:<28} {args.files:>9} files  {seconds:8.1f} s  peak {peak:7.0f} MiB", flush=True)
    finally:
        if args.root is None:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
