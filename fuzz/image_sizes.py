"""Differential fuzzing of the image size scan: ClsAnalyzingTool's
get_image_size_distribution against the plain-Python loop it stands for
(`with Image.open(p) as img: str(img.size)`, in order), on seeds of every
real-world PNG/JPEG/GIF/BMP variant and their structure-aware mutations.

    python fuzz/image_sizes.py --files N [--seed S] [--workdir D] [--batch B]

Each batch of files is compared whole: the Counter, or the exception (type,
message) of the first file Image.open rejects, the warnings (category,
message) and, for the callback runs, the progress values; after an exception
both sides go on with the files after it, so every file is compared. A
difference is bisected to the single file, which is printed (seed, mutation,
hex dump) and saved under build/fuzz-failures/; the exit status is then 1.
The closing line gives the count of files and differences and the share of
files answered without Image.open, per format; the share per variant of the
unmutated files is printed above it.
"""
import argparse
import asyncio
import random
import sys
import tempfile
import time
import warnings
from collections import Counter, defaultdict
from pathlib import Path

from PIL import Image, ImageFile, PngImagePlugin

import image_mutations
import image_seeds
import pretrain.analyzing_tools as native

REPO = Path(__file__).resolve().parent.parent
SUFFIXES = {"jpeg": ".jpg", "png": ".png", "gif": ".gif", "bmp": ".bmp"}
IMG_EXT = [".jpg", ".jpeg", ".png", ".bmp", ".gif", ".tiff"]

# Module settings the opening code reads, changed on some batches (applied
# to both sides alike).
SETTINGS = [
    {},
    {(ImageFile, "LOAD_TRUNCATED_IMAGES"): True},
    {(Image, "MAX_IMAGE_PIXELS"): 1_000_000},
    {(Image, "MAX_IMAGE_PIXELS"): None},
    {(PngImagePlugin, "MAX_TEXT_CHUNK"): 16, (PngImagePlugin, "MAX_TEXT_MEMORY"): 40},
]


class Case:
    __slots__ = ("index", "fmt", "family", "clean", "description", "data", "path")

    def __init__(self, index, seed, clean, description, data):
        self.index, self.fmt, self.clean, self.description, self.data = index, seed.fmt, clean, description, data
        self.family = image_seeds.variant_family(seed.variant)
        self.path = None


def make_cases(rng, count):
    seeds = image_seeds.seeds(random.Random(rng.randrange(1 << 30)))
    edges = [s for s in seeds if s.variant.startswith("edge:")]  # drawn more often than their number says
    for index in range(count):
        seed = rng.choice(edges if rng.random() < 0.03 else seeds)
        if rng.random() < 0.3:
            yield Case(index, seed, True, f"{seed.fmt} {seed.variant}, unmutated", seed.data)
        else:
            data, what = image_mutations.mutate(rng, seed, seeds)
            yield Case(index, seed, False, f"{seed.fmt} {seed.variant}: {what}", data)


def write_batch(rng, cases, directory):
    """Writes the cases into class folders; a few paths stay missing or name
    a folder. Returns the paths in a random mix of str and Path forms."""
    form = rng.choice(["str", "path", "mixed"])
    paths = []
    for case in cases:
        suffix = SUFFIXES.get(case.fmt, "." + case.fmt)
        if rng.random() < 0.1:
            suffix = rng.choice(IMG_EXT)
        path = directory / f"cls_{case.index % 7}" / f"{case.index:06d}{suffix}"
        path.parent.mkdir(parents=True, exist_ok=True)
        odd = rng.random()
        if odd < 0.002:
            case.description += " (missing file)"
        elif odd < 0.003:
            path.mkdir()
            case.description += " (a folder)"
        else:
            path.write_bytes(case.data)
        case.path = path
        as_path = form == "path" or (form == "mixed" and rng.random() < 0.5)
        paths.append(path if as_path else str(path))
    return paths


def outcome(call):
    """The value of call() or the exception it raised, as comparable data
    (a Counter's items in order), and the warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            value = ("value",) + call()
        except Exception as error:  # noqa: BLE001 - the exception is what is compared
            value = ("error", type(error), str(error))
    return value, [(w.category, str(w.message)) for w in caught]


def run_native(root, paths, with_callback, opened):
    """The package's scan; unless opened is None, the paths Image.open is
    called with (as Python code, so not answered natively) are appended to it."""
    progress = []

    async def callback(fraction):
        progress.append(fraction)

    tool = native.ClsAnalyzingTool(str(root))
    tool.path_list = list(paths)
    open_code = Image.open.__code__

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is open_code:
            opened.append(str(frame.f_locals.get("fp")))
    if opened is not None:
        sys.setprofile(profile)
    try:
        if with_callback:
            counts = asyncio.run(tool.get_image_size_distribution(callback))
        else:
            coroutine = tool.get_image_size_distribution()
            try:
                coroutine.send(None)
                raise RuntimeError("the scan suspended")
            except StopIteration as stop:
                counts = stop.value
    finally:
        sys.setprofile(None)
    return (type(counts).__name__, list(counts.items()), progress if with_callback else None)


def run_python(paths, with_callback, failed_at):
    """The plain loop; failed_at gets the index of the file that raised."""
    sizes, progress = [], []
    for i, path in enumerate(paths):
        failed_at[0] = i
        with Image.open(path) as img:
            sizes.append(str(img.size))
        if with_callback:
            progress.append(i / len(paths))
    failed_at[0] = None
    counts = Counter(sizes)
    return (type(counts).__name__, list(counts.items()), progress if with_callback else None)


def compare(root, paths, with_callback, opened):
    """(same, index of the file the plain loop failed on or None, the two outcomes)."""
    failed_at = [None]
    ours = outcome(lambda: run_native(root, paths, with_callback, opened))
    theirs = outcome(lambda: run_python(paths, with_callback, failed_at))
    return ours == theirs, failed_at[0], ours, theirs


def differs(root, paths, with_callback):
    return not compare(root, paths, with_callback, None)[0]


def bisect(root, paths, with_callback):
    """The smallest run of paths found by halving that still differs."""
    while len(paths) > 1:
        half = len(paths) // 2
        if differs(root, paths[:half], with_callback):
            paths = paths[:half]
        elif differs(root, paths[half:], with_callback):
            paths = paths[half:]
        else:
            break
    return paths


def hex_dump(data, limit=256):
    lines = []
    for pos in range(0, min(len(data), limit), 16):
        row = data[pos:pos + 16]
        lines.append(f"  {pos:04x}  {row.hex(' '):<47}  {''.join(chr(b) if 32 <= b < 127 else '.' for b in row)}")
    if len(data) > limit:
        lines.append(f"  ... {len(data)} bytes in all")
    return "\n".join(lines)


def report(seed, case_of, paths, root, with_callback, settings, failures_dir):
    _, _, ours, theirs = compare(root, paths, with_callback, None)
    print(f"\nimage sizes: DIFFERENCE (seed {seed}), {len(paths)} file(s), settings {describe(settings)}"
          f"{', with callback' if with_callback else ''}")
    print(f"  native: {ours}\n  python: {theirs}")
    failures_dir.mkdir(parents=True, exist_ok=True)
    for path in paths:
        case = case_of[str(path)]
        saved = failures_dir / f"seed{seed}-{case.index:06d}{Path(path).suffix}"
        if case.path.is_file():
            saved.write_bytes(case.data)
        print(f"  file {case.index} ({type(path).__name__} {path}): {case.description}\n  saved as {saved}")
        print(hex_dump(case.data))
    sys.stdout.flush()


def describe(settings):
    return ", ".join(f"{m.__name__}.{k}={v}" for (m, k), v in settings.items()) or "defaults"


def apply(settings):
    saved = {key: getattr(*key) for key in settings}
    for (module, name), value in settings.items():
        setattr(module, name, value)
    return saved


def check_batch(rng, seed, cases, batch_dir, failures_dir, opened, state):
    """Compares one batch, every file; returns the number of differences and
    whether the batch counts for the shares: the scan ran under the profiler
    (half the batches: the other half runs as users run it) and reached every
    file (not so once the bisections are used up)."""
    paths = write_batch(rng, cases, batch_dir)
    profiled = rng.random() < 0.5
    opened = opened if profiled else None
    case_of = {str(p): c for p, c in zip(paths, cases)}
    with_callback = rng.random() < 0.15
    settings = rng.choice(SETTINGS) if rng.random() < 0.3 else {}
    saved = apply(settings)
    found, complete = 0, True
    try:
        rest = paths
        while rest:
            same, failed, _, _ = compare(batch_dir, rest, with_callback, opened)
            if same:
                rest = rest[failed + 1:] if failed is not None else []
                continue
            if state["bisections"] >= state["max_bisections"]:
                found, complete = found + 1, False
                print(f"image sizes: another difference in files {case_of[str(rest[0])].index}.. (not bisected)")
                break
            state["bisections"] += 1
            culprit = bisect(batch_dir, rest, with_callback)
            report(seed, case_of, culprit, batch_dir, with_callback, settings, failures_dir)
            found += 1
            rest = [p for p in rest if p not in culprit]  # the others are still compared
    finally:
        apply(saved)
    return found, complete and profiled


def share_lines(cases, opened):
    """Native shares per format (all files) and per variant (unmutated)."""
    by_format, by_variant = defaultdict(lambda: [0, 0]), defaultdict(lambda: [0, 0])
    for case in cases:
        native_answer = str(case.path) not in opened
        for table, key in ((by_format, case.fmt), (by_variant, f"{case.fmt} {case.family}")):
            table[key][0] += native_answer
            table[key][1] += 1
        if not case.clean:
            by_variant[f"{case.fmt} {case.family}"][1] -= 1
            by_variant[f"{case.fmt} {case.family}"][0] -= native_answer
    variants = [f"{k}: {n}/{t}" for k, (n, t) in sorted(by_variant.items()) if t]
    formats = ", ".join(f"{k} {100 * n / t:.0f}%" for k, (n, t) in sorted(by_format.items()))
    return variants, formats


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=20_000)
    parser.add_argument("--seed", type=int)
    parser.add_argument("--workdir", type=Path)
    parser.add_argument("--batch", type=int, default=500)
    parser.add_argument("--failures", type=Path, default=REPO / "build" / "fuzz-failures")
    parser.add_argument("--quiet", action="store_true", help="no per-variant share table")
    parser.add_argument("--max-bisections", type=int, default=25, help="differences bisected and printed")
    options = parser.parse_args()
    seed = options.seed if options.seed is not None else int(time.time()) % 100000
    batch_option = f" --batch {options.batch}" if options.batch != 500 else ""
    print(f"image sizes: seed {seed} (replay: {sys.executable} fuzz/image_sizes.py --files {options.files} "
          f"--seed {seed}{batch_option})", flush=True)
    rng = random.Random(seed)
    started = time.monotonic()
    state = {"bisections": 0, "max_bisections": options.max_bisections}
    share_cases, files, opened, differences = [], 0, set(), 0
    with tempfile.TemporaryDirectory(prefix="image-sizes-", dir=options.workdir) as workdir:
        cases = list(make_cases(rng, options.files))
        for start in range(0, len(cases), options.batch):
            batch = cases[start:start + options.batch]
            batch_opened = []
            found, counts = check_batch(rng, seed, batch, Path(workdir) / f"batch{start // options.batch:04d}",
                                        options.failures, batch_opened, state)
            differences += found
            if counts:
                opened.update(batch_opened)
                share_cases += batch
            files += len(batch)
            for case in batch:
                case.data = b""  # keeps memory flat
    print(f"image sizes: {time.monotonic() - started:.0f} s")
    variants, formats = share_lines(share_cases, opened)
    if not options.quiet:
        print("image sizes: native share of the unmutated files per variant:")
        for k in range(0, len(variants), 4):
            print("  " + "   ".join(variants[k:k + 4]))
    print(f"image sizes: {files} files, {differences} differences; native share {formats}", flush=True)
    sys.exit(1 if differences else 0)


if __name__ == "__main__":
    main()
