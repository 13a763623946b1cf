"""The measures of each image that the image checks judge: one reduced decode
per file (JPEG draft mode, then Image.reduce) feeds every measure; run in
worker processes over chunks of paths (workers.py). Only numbers come back,
never pixels.

The reduced image keeps its shorter side between WORK_SIDE and twice that, so
that blur is measured at a comparable scale whatever the file's size. The
hashes and the colour are computed for a whole chunk at once, from each
image shrunk to HASH_SIDE pixels a side.

The near-duplicate check compares the pixels of the few images whose hashes
are close: `thumbnails` reads those files again."""
import io
import warnings

import numpy as np
from PIL import Image

from .file_checks import message, refuse_special
from .workers import WORKER_DIED

WORK_SIDE = 96
HASH_SIDE = 32
HASH_BLOCK = 8  # both hashes have HASH_BLOCK x HASH_BLOCK bits
THUMBNAIL_SIDE = 16
# a copy cropped by up to 3 % a side lines up with one of these crops of its original
THUMBNAIL_CROPS = (0.0, 0.01, 0.02, 0.03)

MEASURES = np.dtype([
    ("width", "i4"), ("height", "i4"),
    ("phash", "u8"),  # DCT hash: the signs of the lowest 8 x 8 frequencies against their median
    ("dhash", "u8"),  # difference hash: which of 9 x 8 neighbouring areas is brighter
    ("sharpness", "f4"),  # standard deviation of the Laplacian over that of the grey values
    ("shadow", "f4"),  # 5th percentile of luminance, 0 to 1
    ("highlight", "f4"),  # 99th percentile of luminance, 0 to 1
    ("entropy", "f4"),  # of the grey-level histogram, bits
    ("colour", "f4"),  # mean difference between the largest and smallest channel, 0 to 255
])

LEVELS = np.arange(256, dtype=np.float64)
LUMA = np.array([0.299, 0.587, 0.114])
# the 9 columns of the difference hash over the HASH_SIDE columns, and their widths
COLUMNS = np.linspace(0, HASH_SIDE, HASH_BLOCK + 2).astype(int)[:-1]
WIDTHS = np.diff(np.r_[COLUMNS, HASH_SIDE])
ROWS = np.arange(0, HASH_SIDE, HASH_SIDE // HASH_BLOCK)


def dct_matrix(side):
    k = np.arange(side)[:, None]
    n = np.arange(side)[None, :]
    return np.cos(np.pi * (2 * n + 1) * k / (2 * side))


DCT = dct_matrix(HASH_SIDE)[:HASH_BLOCK]


def packed(bits):
    """Rows of 64 booleans as uint64 (bit i from column i)."""
    return np.packbits(bits, axis=1, bitorder="little").view("<u8").ravel()


def perceptual_hashes(grey):
    """DCT hashes of a stack of HASH_SIDE x HASH_SIDE grey images."""
    low = (DCT @ grey @ DCT.T).reshape(len(grey), -1)
    return packed(low > np.median(low[:, 1:], axis=1)[:, None])  # the DC term sets the brightness only


def difference_hashes(grey):
    areas = np.add.reduceat(np.add.reduceat(grey, ROWS, axis=1), COLUMNS, axis=2) / WIDTHS
    return packed((areas[:, :, 1:] > areas[:, :, :-1]).reshape(len(grey), -1))


def grey_levels(grey):
    """(shadow, highlight, entropy, standard deviation) from the grey-level
    histogram."""
    counts = np.asarray(grey.histogram(), dtype=np.float64)
    cumulative = np.cumsum(counts)
    shares = counts / cumulative[-1]
    present = shares[shares > 0]
    mean = shares @ LEVELS
    spread = np.sqrt(max(shares @ LEVELS ** 2 - mean * mean, 0.0))
    shadow, highlight = np.searchsorted(cumulative, (0.05 * cumulative[-1], 0.99 * cumulative[-1])) / 255
    return shadow, highlight, -(present @ np.log2(present)), spread


def sharpness(grey, spread):
    g = np.asarray(grey, dtype=np.int16)
    if min(g.shape) < 3:
        return 0.0
    laplacian = (4 * g[1:-1, 1:-1] - g[:-2, 1:-1] - g[2:, 1:-1] - g[1:-1, :-2] - g[1:-1, 2:]).ravel()
    values = laplacian.astype(np.float32)
    mean = values.sum() / values.size
    return np.sqrt(max(values @ values / values.size - mean * mean, 0.0)) / (spread + 1)


def reduced(image):
    """The image decoded at a reduced scale (JPEG draft, then Image.reduce),
    in RGB or L."""
    image.draft("RGB", (WORK_SIDE, WORK_SIDE))
    factor = max(1, min(image.size) // WORK_SIDE)
    if image.mode not in ("RGB", "L"):
        image = image.convert("RGB")
    return image.reduce(factor) if factor > 1 else image


def measure(path, into, small):
    """Fills the record `into` (all but the hashes and colour) and the
    HASH_SIDE x HASH_SIDE x 3 array `small` for one file."""
    refuse_special(path)
    with open(path, "rb") as file:
        data = io.BytesIO(file.read())
    with warnings.catch_warnings():
        warnings.simplefilter("error", Image.DecompressionBombWarning)
        with Image.open(data) as image:
            into["width"], into["height"] = image.size
            work = reduced(image)
            work.load()
    grey = work.convert("L") if work.mode != "L" else work
    shadow, highlight, entropy, spread = grey_levels(grey)
    into["shadow"], into["highlight"], into["entropy"] = shadow, highlight, entropy
    into["sharpness"] = sharpness(grey, spread)
    shrunk = work.resize((HASH_SIDE, HASH_SIDE), Image.Resampling.BOX)
    small[...] = np.asarray(shrunk.convert("RGB") if shrunk.mode != "RGB" else shrunk)


def measure_all(paths):
    """(measures, failures): a MEASURES array over paths (zeros where a file
    failed) and (position, message) for each file that could not be measured."""
    found = np.zeros(len(paths), MEASURES)
    smalls = np.zeros((len(paths), HASH_SIDE, HASH_SIDE, 3), np.uint8)
    failures = []
    for position, path in enumerate(paths):
        try:
            measure(path, found[position], smalls[position])
        except Exception as error:
            failures.append((position, message(error)))
    grey = smalls @ LUMA
    found["phash"] = perceptual_hashes(grey)
    found["dhash"] = difference_hashes(grey)
    found["colour"] = (smalls.max(axis=3) - smalls.min(axis=3)).mean(axis=(1, 2))
    return found, failures


def lost_measures(chunk):
    return np.zeros(len(chunk), dtype=MEASURES), [(position, WORKER_DIED) for position in range(len(chunk))]


def measure_files(names, workers, progress):
    """(measures, measured mask, failures as (position, message)) over
    names, measured by the workers."""
    found = np.zeros(len(names), dtype=MEASURES)
    failures = []
    for start, (chunk, failed) in workers.map_chunks(measure_all, names, progress, lost=lost_measures):
        found[start:start + len(chunk)] = chunk
        failures.extend((start + position, text) for position, text in failed)
    measured = np.ones(len(names), dtype=bool)
    measured[[position for position, _ in failures]] = False
    return found, measured, failures


def cropped_thumbnails(path):
    """The file's grey THUMBNAIL_SIDE x THUMBNAIL_SIDE thumbnail after each
    crop of THUMBNAIL_CROPS (a share of each side), as rows of uint8."""
    refuse_special(path)
    with Image.open(path) as image:
        grey = reduced(image).convert("L")
    width, height = grey.size
    return np.stack([np.asarray(grey.resize((THUMBNAIL_SIDE, THUMBNAIL_SIDE), Image.Resampling.LANCZOS,
                                            box=(width * crop, height * crop,
                                                 width * (1 - crop), height * (1 - crop)))).ravel()
                     for crop in THUMBNAIL_CROPS])


def thumbnails(paths):
    """(thumbnails, readable): cropped_thumbnails of each path, and which
    could be read (zeros where not)."""
    found = np.zeros((len(paths), len(THUMBNAIL_CROPS), THUMBNAIL_SIDE * THUMBNAIL_SIDE), np.uint8)
    readable = np.ones(len(paths), dtype=bool)
    for position, path in enumerate(paths):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error", Image.DecompressionBombWarning)
                found[position] = cropped_thumbnails(path)
        except Exception:
            readable[position] = False
    return found, readable
