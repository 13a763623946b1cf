"""The measures of each image that the image checks judge: one reduced decode
per file (JPEG draft mode, then Image.reduce) feeds every measure; run in
worker processes over chunks of paths (workers.py). Only numbers come back,
never pixels.

The reduced image keeps its shorter side between WORK_SIDE and twice that, so
that blur is measured at a comparable scale whatever the file's size."""
import os
import stat
import warnings

import numpy as np
from PIL import Image, ImageChops, ImageStat

from .file_checks import message

WORK_SIDE = 96
HASH_SIDE = 32  # the perceptual hash's DCT works on this many pixels a side
HASH_BLOCK = 8  # both hashes have HASH_BLOCK x HASH_BLOCK bits

MEASURES = np.dtype([
    ("width", "i4"), ("height", "i4"),
    ("phash", "u8"),  # DCT hash: the signs of the lowest 8 x 8 frequencies against their median
    ("dhash", "u8"),  # difference hash: which of neighbouring pixels is brighter, on 9 x 8 pixels
    ("sharpness", "f4"),  # standard deviation of the Laplacian over that of the grey values
    ("shadow", "f4"),  # 5th percentile of luminance, 0 to 1
    ("highlight", "f4"),  # 99th percentile of luminance, 0 to 1
    ("entropy", "f4"),  # of the grey-level histogram, bits
    ("colour", "f4"),  # mean difference between the largest and smallest channel, 0 to 255,
    # over the image reduced to HASH_SIDE pixels a side
])

LEVELS = np.arange(256, dtype=np.float64)


def dct_matrix(side):
    k = np.arange(side)[:, None]
    n = np.arange(side)[None, :]
    return np.cos(np.pi * (2 * n + 1) * k / (2 * side))


DCT = dct_matrix(HASH_SIDE)[:HASH_BLOCK]
BITS = np.uint64(1) << np.arange(HASH_BLOCK * HASH_BLOCK, dtype=np.uint64)


def perceptual_hash(small_grey):
    low = (DCT @ np.asarray(small_grey, dtype=np.float64) @ DCT.T).ravel()
    above = low > np.median(low[1:])  # the DC term sets the brightness, not the picture
    return int(BITS[above].sum(dtype=np.uint64))


def difference_hash(small_grey):
    pixels = np.asarray(small_grey.resize((HASH_BLOCK + 1, HASH_BLOCK), Image.Resampling.BOX), dtype=np.int16)
    return int(BITS[(pixels[:, 1:] > pixels[:, :-1]).ravel()].sum(dtype=np.uint64))


def grey_levels(grey):
    """(shadow, highlight, entropy, standard deviation) from the grey-level
    histogram."""
    counts = np.asarray(grey.histogram(), dtype=np.float64)
    cumulative = np.cumsum(counts)
    total = cumulative[-1]
    shares = counts / total
    present = shares[shares > 0]
    mean = shares @ LEVELS
    spread = np.sqrt(max(shares @ LEVELS ** 2 - mean * mean, 0.0))
    shadow, highlight = np.searchsorted(cumulative, (0.05 * total, 0.99 * total)) / 255
    return float(shadow), float(highlight), float(-(present * np.log2(present)).sum()), float(spread)


def sharpness(grey, spread):
    if min(grey.size) < 3:
        return 0.0
    g = np.asarray(grey, dtype=np.int16)
    laplacian = (4 * g[1:-1, 1:-1] - g[:-2, 1:-1] - g[2:, 1:-1] - g[1:-1, :-2] - g[1:-1, 2:]).ravel()
    return float(laplacian.std(dtype=np.float32)) / (spread + 1)


def colourfulness(small):
    if small.mode != "RGB":
        return 0.0
    red, green, blue = small.split()
    highest = ImageChops.lighter(ImageChops.lighter(red, green), blue)
    lowest = ImageChops.darker(ImageChops.darker(red, green), blue)
    return ImageStat.Stat(ImageChops.subtract(highest, lowest)).mean[0]


def reduced(image):
    """The image decoded at a reduced scale (JPEG draft, then Image.reduce),
    in RGB or L."""
    image.draft("RGB", (WORK_SIDE, WORK_SIDE))
    factor = max(1, min(image.size) // WORK_SIDE)
    if image.mode not in ("RGB", "L"):
        image = image.convert("RGB")
    return image.reduce(factor) if factor > 1 else image


def measure(path):
    """The MEASURES of one file, as a tuple."""
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise OSError("not a regular file (left unopened)")
    with warnings.catch_warnings():
        warnings.simplefilter("error", Image.DecompressionBombWarning)
        with Image.open(path) as image:
            width, height = image.size
            work = reduced(image)
            work.load()
    grey = work.convert("L") if work.mode != "L" else work
    small = work.resize((HASH_SIDE, HASH_SIDE), Image.Resampling.BOX)
    small_grey = small.convert("L") if small.mode != "L" else small
    shadow, highlight, entropy, spread = grey_levels(grey)
    return (width, height, perceptual_hash(small_grey), difference_hash(small_grey),
            sharpness(grey, spread), shadow, highlight, entropy, colourfulness(small))


def measure_all(paths):
    """(measures, failures): a MEASURES array over paths (zeros where a file
    failed) and (position, message) for each file that could not be measured."""
    found = np.zeros(len(paths), MEASURES)
    failures = []
    for position, path in enumerate(paths):
        try:
            found[position] = measure(path)
        except Exception as error:
            failures.append((position, message(error)))
    return found, failures
