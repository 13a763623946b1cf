"""The image size scan on PNG files whose compressed chunks (iCCP, zTXt,
iTXt) inflate to about 100 KB or 900 KB, and on files with many such
chunks: the scan inflates each to know its size, as Pillow does to open it.
CPU time of the native scan against the same Python code, median of
alternating runs, and the share of files answered without Image.open.

    .venv/bin/python bench/run.py --only bench_compressed_chunks [--quick]
"""
import random
import struct
import sys
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_analysis import analysis_modules, kept_tree, warm  # noqa: E402
from bench_image_variants import size_scan_row  # noqa: E402

TREE_VERSION = 1
WORDS = [b"profile", b"colour", b"white", b"point", b"matrix", b"curve", b"gamma", b"table", b"tag", b"data"]
# (row name, chunk type, inflated size, chunks per file)
ROWS = [
    ("iCCP ~100 KB", b"iCCP", 100_000, 1),
    ("iCCP ~900 KB", b"iCCP", 900_000, 1),
    ("zTXt ~100 KB", b"zTXt", 100_000, 1),
    ("zTXt ~900 KB", b"zTXt", 900_000, 1),
    ("iTXt ~100 KB", b"iTXt", 100_000, 1),
    ("iTXt ~900 KB", b"iTXt", 900_000, 1),
    ("24 zTXt + iTXt of ~100 KB", b"zTXt", 100_000, 24),
]


def chunk(cid, data):
    return struct.pack(">I", len(data)) + cid + data + struct.pack(">I", zlib.crc32(cid + data))


def text(rng, size):
    """Words and numbers, about as compressible as real profiles and metadata."""
    parts, length = [], 0
    while length < size:
        part = rng.choice(WORDS) + b" %d " % rng.randrange(100000)
        parts.append(part)
        length += len(part)
    return b"".join(parts)[:size]


def png_file(rng, cid, size, count):
    chunks = []
    for k in range(count):
        kind = cid if k % 2 == 0 else b"iTXt"
        packed = zlib.compress(text(rng, size), 6)
        if kind == b"iCCP":
            chunks.append(chunk(b"iCCP", b"profile\0\0" + packed))
        elif kind == b"zTXt":
            chunks.append(chunk(b"zTXt", b"Comment%d\0\0" % k + packed))
        else:
            chunks.append(chunk(b"iTXt", b"XML%d\0\1\0en\0\0" % k + packed))
    header = chunk(b"IHDR", struct.pack(">IIBBBBB", 64, 48, 8, 2, 0, 0, 0))
    return (b"\x89PNG\r\n\x1a\n" + header + b"".join(chunks) + chunk(b"IDAT", zlib.compress(b"\0" * 200))
            + chunk(b"IEND", b""))


def row_files(files_per_row):
    def make(root):
        rng = random.Random(0)
        for name, cid, size, count in ROWS:
            encodings = [png_file(rng, cid, size, count) for _ in range(4)]
            folder = root / name.replace(" ", "_").replace("~", "")
            folder.mkdir(parents=True, exist_ok=True)
            for i in range(files_per_row(size, count)):
                (folder / f"{i:04d}.png").write_bytes(encodings[i % len(encodings)])
    root = kept_tree(f"pretrain_bench_compressed_v{TREE_VERSION}", make)
    warm(root)
    return {name: sorted(str(p) for p in (root / name.replace(" ", "_").replace("~", "")).glob("*.png"))
            for name, _, _, _ in ROWS}


def rows(quick=False):
    native, python = analysis_modules()
    files = row_files(lambda size, count: max(20, 40_000_000 // (size * count)) // 2)
    repeats = 3 if quick else 5
    for name, _, _, _ in ROWS:
        paths = files[name] if not quick else files[name][: len(files[name]) // 2]
        yield size_scan_row(native, python, f"PNG {name}", paths, repeats)
