"""The dataset scans of pretrain.analyzing_tools against the same Python
code (the module's header, written out by reference.py), in one process,
median of alternating runs.

Two generated trees are kept under the temporary directory between runs
(generated once, then reused; their size is part of their name):

- a listing tree of 100 class folders of 1,000 empty files each, for the
  path scan and the categorisation, with a plain os.scandir walk of the same
  tree as the floor;
- an image tree of real PNG and JPEG files of mixed sizes (200,000 in 1,000
  folders; 10,000 in 100 with --quick), for the size scan and the whole
  analysis.

    .venv/bin/python bench/run.py --only bench_analysis [--quick]
    .venv/bin/python bench/bench_analysis.py [--quick] [--images N --folders N]
"""
import argparse
import asyncio
import contextlib
import gc
import io
import os
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.append(str(HERE.parent))  # the repository root, for harness/

from harness import reference  # noqa: E402
from pretrain_check.coroutines import drive  # noqa: E402

LISTING_FOLDERS, LISTING_FILES = 100, 1_000


async def no_progress(_):
    pass


def timed(prepare, run, clock=time.perf_counter):
    """Time of run(prepare()) on clock, the preparation not counted."""
    state = prepare()
    gc.collect()
    start = clock()
    run(state)
    return clock() - start


def compare(name, native, python, repeats, floor=None, clock=time.perf_counter):
    """native and python are (prepare, run) pairs; alternates them."""
    native_times, python_times, floor_times = [], [], []
    for _ in range(repeats):
        native_times.append(timed(*native, clock))
        python_times.append(timed(*python, clock))
        if floor:
            floor_times.append(timed(lambda: None, lambda _: floor(), clock))
    row = {"name": name, "native": statistics.median(native_times), "python": statistics.median(python_times)}
    row["ratio"] = row["native"] / row["python"]
    if floor:
        row["floor"] = statistics.median(floor_times)
    return row


def kept_tree(name, make):
    """A generated tree under the temporary directory, made once."""
    root = Path(tempfile.gettempdir()) / name
    done = root / ".complete"
    if not done.exists():
        print(f"(generating {root}: a few minutes for the large trees)", file=sys.stderr, flush=True)
        make(root)
        done.write_text("")
    return root


def listing_tree():
    def make(root):
        for c in range(LISTING_FOLDERS):
            folder = root / f"class_{c:03d}"
            folder.mkdir(parents=True, exist_ok=True)
            for i in range(LISTING_FILES):
                (folder / f"{i:05d}.png").touch()
    return kept_tree(f"pretrain_bench_listing_{LISTING_FOLDERS * LISTING_FILES}", make)


def image_tree(images, folders):
    def make(root):
        from PIL import Image
        rng = random.Random(0)
        encoded = []
        for k in range(64):  # distinct real files of mixed sizes and kinds
            size = (rng.randint(8, 96), rng.randint(8, 96))
            image = Image.new("RGB" if k % 3 else "L", size, (k * 7) % 256 if k % 3 == 0 else (k, 2 * k, 3 * k))
            buffer = io.BytesIO()
            fmt = "PNG" if k % 2 else "JPEG"
            image.save(buffer, fmt)
            encoded.append((".png" if fmt == "PNG" else ".jpg", buffer.getvalue()))
        per_folder = images // folders
        for c in range(folders):
            folder = root / f"class_{c:04d}"
            folder.mkdir(parents=True, exist_ok=True)
            for i in range(per_folder):
                ext, data = encoded[rng.randrange(len(encoded))]
                (folder / f"{i:05d}{ext}").write_bytes(data)
    return kept_tree(f"pretrain_bench_images_{images}_{folders}", make)


def scandir_walk(root):
    """Every entry below root, as plain os.scandir recursion finds them."""
    found = []
    stack = [root]
    while stack:
        with os.scandir(stack.pop()) as entries:
            for entry in entries:
                found.append(entry.path)
                if entry.is_dir():
                    stack.append(entry.path)
    return found


def warm(root):
    """Reads every file once so that both sides find them in the page cache."""
    for path in scandir_walk(str(root)):
        if os.path.isfile(path):
            with open(path, "rb") as f:
                f.read()


def analysis_modules():
    """The native analyzing_tools module and its plain-Python reference."""
    import pretrain.analyzing_tools as native
    with contextlib.redirect_stdout(io.StringIO()):
        # The native classes register first: the reference registers its own with force.
        import pretrain.datasets  # noqa: F401
        pyref = reference.import_reference(Path(tempfile.mkdtemp(prefix="pretrain_bench_ref_")))
    return native, pyref.analyzing_tools


def rows(quick=False, images=None, folders=None):
    native, python = analysis_modules()
    repeats = 3 if quick else 5

    def pair(make_state, run):
        return [(lambda m=module: make_state(m), run) for module in (native, python)]

    # The listing scans on 100,000 entries.
    root = str(listing_tree())
    scandir_walk(root)

    def fresh(module):
        return module.ClsAnalyzingTool(root)

    def scanned(module):
        tool = module.ClsAnalyzingTool(root)
        drive(tool.get_path_list())
        return tool

    floor = lambda: scandir_walk(root)  # noqa: E731
    n = LISTING_FOLDERS * LISTING_FILES
    yield compare(f"get_path_list, {n:,} entries", *pair(fresh, lambda t: drive(t.get_path_list())), repeats, floor)
    yield compare(f"get_category_distribution after the scan, {n:,}",
                  *pair(scanned, lambda t: drive(t.get_category_distribution())), repeats)
    yield compare(f"get_path_list + get_category_distribution, {n:,}",
                  *pair(fresh, lambda t: (drive(t.get_path_list()), drive(t.get_category_distribution()))),
                  repeats, floor)

    # The image scans.
    images = images or (10_000 if quick else 200_000)
    folders = folders or (100 if quick else 1_000)
    root = str(image_tree(images, folders))
    warm(root)

    def with_images(module):
        tool = module.ClsAnalyzingTool(root)
        drive(tool.get_path_list())
        return tool

    repeats = 3
    yield compare(f"get_image_size_distribution, {images:,} JPEG/PNG",
                  *pair(with_images, lambda t: drive(t.get_image_size_distribution())), repeats)
    yield compare(f"get_image_size_distribution(callback), {images:,}",
                  *pair(with_images, lambda t: asyncio.run(t.get_image_size_distribution(no_progress))), repeats)

    def whole(module):
        return module.ClsAnalyzingTool(root)

    yield compare(f"whole analysis (categories + sizes), {images:,}",
                  *pair(whole, lambda t: (drive(t.get_category_distribution()),
                                          drive(t.get_image_size_distribution()))), repeats)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--images", type=int)
    parser.add_argument("--folders", type=int)
    args = parser.parse_args()
    from run import print_table
    print_table(rows(args.quick, args.images, args.folders))


if __name__ == "__main__":
    main()
