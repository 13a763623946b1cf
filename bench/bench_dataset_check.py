"""`pretrain-check DIR --check` (and `--check --decode`) on a
generated dataset of small JPEG and PNG files, 1 % of them broken (half cut
short after the header, half not images at all), against a plain loop of
`Image.open` (and `load`) over the same files in one process. `--check`
includes the image checks, which decode every image at a reduced scale
(bench_image_checks.py measures them against CleanVision).

The command's time is its whole run in a fresh interpreter (imports, listing,
what the scan leaves out, duplicates, report lines); the loop's is the loop
alone; each is the median of alternating runs. The tree lives under the
temporary directory for the run and is deleted afterwards (--keep keeps it).

    .venv/bin/python bench/run.py --only bench_dataset_check [--quick]
    .venv/bin/python bench/bench_dataset_check.py [--files N] [--keep]
"""
import argparse
import io
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
COMMAND = ["-m", "pretrain_check"]
FOLDERS = 100
BROKEN = 0.01


def encoded_image(rng):
    from PIL import Image
    mode = rng.choice(["L", "RGB"])
    size = (rng.randint(8, 48), rng.randint(8, 48))
    image = Image.frombytes(mode, size, rng.randbytes(size[0] * size[1] * len(mode)))
    buffer = io.BytesIO()
    fmt = rng.choice(["PNG", "JPEG"])
    image.save(buffer, fmt)
    return (".png" if fmt == "PNG" else ".jpg"), buffer.getvalue()


def make_dataset(root, files):
    rng = random.Random(0)
    for i in range(files):
        folder = root / f"class_{i % FOLDERS:03d}"
        folder.mkdir(parents=True, exist_ok=True)
        suffix, data = encoded_image(rng)
        if rng.random() < BROKEN:
            data = data[: len(data) * 2 // 3] if rng.random() < 0.5 else rng.randbytes(len(data))
        (folder / f"{i:07d}{suffix}").write_bytes(data)


def plain_loop(paths, load):
    from PIL import Image
    failed = 0
    for path in paths:
        try:
            with Image.open(path) as image:
                image.size
                if load:
                    image.load()
        except Exception:
            failed += 1
    return failed


def timed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def median_times(first, second, repeats):
    times = [(timed(first), timed(second)) for _ in range(repeats)]
    return statistics.median(t for t, _ in times), statistics.median(t for _, t in times)


def command(root, *flags):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(HERE.parent / "support"),
                                                                   os.environ.get("PYTHONPATH")])))
    proc = subprocess.run([sys.executable, *COMMAND, str(root), *flags], env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if proc.returncode not in (0, 1):
        raise RuntimeError(proc.stderr)


def rows(quick=False, files=None, keep=False):
    files = files or (10_000 if quick else 100_000)
    repeats = 1 if quick else 3
    root = Path(tempfile.mkdtemp(prefix="pretrain_bench_check_"))
    try:
        print(f"(generating {files} files under {root})", file=sys.stderr, flush=True)
        make_dataset(root, files)
        paths = sorted(str(p) for p in root.rglob("*.*"))
        plain_loop(paths, load=True)  # both sides find the files in the page cache
        startup = timed(lambda: command(root / "class_000", "--help"))
        for flags, load in ((["--check"], False), (["--check", "--decode"], True)):
            ours, loop = median_times(lambda: command(root, *flags), lambda: plain_loop(paths, load), repeats)
            yield {"name": f"{' '.join(flags)} on {files} files vs Image.open{' + load' if load else ''} loop",
                   "native": ours, "python": loop, "ratio": ours / loop, "floor": startup}
    finally:
        if keep:
            print(f"(kept {root})", file=sys.stderr)
        else:
            shutil.rmtree(root)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=100_000)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    sys.path.insert(0, str(HERE))
    from run import print_table
    print_table(list(rows(files=args.files, keep=args.keep)))


if __name__ == "__main__":
    main()
