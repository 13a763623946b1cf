"""The image size scan on the real-world variants of JPEG, PNG, GIF and BMP
files, one row per variant and one for their mix: CPU time (process time,
worker threads included) of the native scan against the same Python code,
median of alternating runs, and the share of files the scan answered without
Image.open; then many short scans of the mix (1, 8 and 64 files each).

The files are the fuzz lane's seeds (fuzz/image_seeds.py), a few distinct
encodings per variant repeated to 2,000 files (500 with --quick), kept under
the temporary directory between runs.

    .venv/bin/python bench/run.py --only bench_image_variants [--quick]
"""
import random
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "fuzz"))

import image_seeds  # noqa: E402
from bench_analysis import analysis_modules, compare, drive, kept_tree, warm  # noqa: E402

TREE_VERSION = 1
# (row name, format, seed variant): Pillow's own files, and hand-made BMPs
# for what Pillow does not write.
VARIANTS = [
    ("JPEG JFIF", "jpeg", "pillow:jfif"),
    ("JPEG EXIF", "jpeg", "pillow:exif"),
    ("JPEG EXIF with density", "jpeg", "pillow:exif-density"),
    ("JPEG EXIF + ICC", "jpeg", "pillow:exif+icc"),
    ("JPEG progressive", "jpeg", "pillow:progressive"),
    ("JPEG gray", "jpeg", "pillow:gray"),
    ("JPEG CMYK (Adobe)", "jpeg", "pillow:cmyk"),
    ("JPEG MPO", "jpeg", "pillow:mpo"),
    ("PNG minimal", "png", "pillow:minimal"),
    ("PNG text + gAMA + pHYs", "png", "pillow:text+gAMA+pHYs"),
    ("PNG iCCP", "png", "pillow:iCCP"),
    ("PNG eXIf", "png", "pillow:eXIf"),
    ("PNG palette + tRNS", "png", "pillow:palette+tRNS"),
    ("PNG APNG", "png", "pillow:apng"),
    ("GIF still", "gif", "pillow:still"),
    ("GIF animated", "gif", "pillow:animated"),
    ("GIF comment", "gif", "pillow:comment"),
    ("BMP RGB", "bmp", "pillow:rgb"),
    ("BMP RLE8", "bmp", "hand:h40:rle8"),
    ("BMP BITFIELDS", "bmp", "hand:h40:bitfields"),
    ("BMP v5 header", "bmp", "hand:h124:raw"),
]
CLEAN = {"JPEG JFIF", "JPEG progressive", "JPEG gray", "PNG minimal", "GIF still", "BMP RGB"}
SUFFIX = {"jpeg": ".jpg", "png": ".png", "gif": ".gif", "bmp": ".bmp"}


def variant_files(per_variant):
    """{row name: sorted file paths}, the tree made once."""
    def make(root):
        seeds = image_seeds.seeds(random.Random(0))
        rng = random.Random(1)
        for name, fmt, variant in VARIANTS:
            encodings = [s.data for s in seeds if s.fmt == fmt and image_seeds.variant_family(s.variant) == variant]
            assert encodings, variant
            folder = root / name.replace(" ", "_")
            for i in range(per_variant):
                path = folder / f"class_{i % 10}" / f"{i:05d}{SUFFIX[fmt]}"
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_bytes(rng.choice(encodings))
    root = kept_tree(f"pretrain_bench_variants_v{TREE_VERSION}_{per_variant}", make)
    warm(root)
    return {name: sorted(str(p) for p in (root / name.replace(" ", "_")).glob("*/*")) for name, _, _ in VARIANTS}


def native_share(native, paths):
    """The share of paths the native scan answers without Image.open."""
    from PIL import Image
    open_code, opened = Image.open.__code__, [0]

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is open_code:
            opened[0] += 1
    tool = native.ClsAnalyzingTool("")
    tool.path_list = list(paths)
    sys.setprofile(profile)
    try:
        drive(tool.get_image_size_distribution())
    finally:
        sys.setprofile(None)
    return 1 - opened[0] / len(paths)


def size_scan_row(native, python, name, paths, repeats):
    """The size scan of paths, native against Python, in CPU time."""
    def with_paths(module):
        tool = module.ClsAnalyzingTool("")
        tool.path_list = list(paths)
        return tool
    scan = lambda t: drive(t.get_image_size_distribution())  # noqa: E731
    row = compare("", (lambda: with_paths(native), scan), (lambda: with_paths(python), scan), repeats,
                  clock=time.process_time)
    row["name"] = f"sizes (CPU), {name}, {len(paths):,}, {native_share(native, paths):.0%} native"
    return row


def rows(quick=False):
    native, python = analysis_modules()
    per_variant = 500 if quick else 2_000
    files = variant_files(per_variant)
    mix = [p for paths in files.values() for p in paths]
    random.Random(2).shuffle(mix)
    mix = mix[:2 * per_variant]
    repeats = 3 if quick else 5

    def scan_row(name, paths):
        return size_scan_row(native, python, name, paths, repeats)

    def small_scans_row(count, calls):
        # Many short scans, as a tool that scans a few files at a time makes
        # them: the cost of starting a scan shows here.
        paths = mix[:count]

        def scans(tool):
            for _ in range(calls):
                tool.path_list = list(paths)
                drive(tool.get_image_size_distribution())
        make = lambda module: lambda: module.ClsAnalyzingTool("")  # noqa: E731
        row = compare("", (make(native), scans), (make(python), scans), repeats, clock=time.process_time)
        row["name"] = f"sizes (CPU), {calls:,} scans of {count} file{'s' if count > 1 else ''}"
        return row

    for name, _, _ in VARIANTS:
        yield scan_row(name + (" *" if name in CLEAN else ""), files[name])
    yield scan_row("mix of the variants", mix)
    calls = 100 if quick else 500
    for count in (1, 8, 64):
        yield small_scans_row(count, calls)
