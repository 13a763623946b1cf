"""The evidence for the near-duplicate check's pixel threshold
(near_duplicates.SAME): the similarity of every pair of the 5,000 real MNIST
digits (real_digits.py) whose DCT hashes are within the candidate distance
(different writers: none is a copy), against that of copies of 100 digits
and of 90 generated photos made as a user's copies are made (enlarged,
shrunk, cropped, recompressed). Prints percentiles per set, and how many
pairs reach the threshold.

    .venv/bin/python bench/pixel_threshold.py
"""
import random
import sys
import tempfile
from pathlib import Path

import numpy as np
from PIL import Image

sys.path.append(str(Path(__file__).resolve().parent.parent))  # the repository root, for harness/

from harness.planted_dataset import photo, resized_copy, save  # noqa: E402
from pretrain_check.image_stats import measure_all, thumbnails  # noqa: E402
from pretrain_check.near_duplicates import DISTANCE, SAME, hamming, similarity  # noqa: E402
from real_digits import digits  # noqa: E402

DIGIT_COPIES = {
    "enlarged 2 x, PNG": lambda image: (image.resize((56, 56), Image.Resampling.LANCZOS), ".png", 90),
    "recompressed, JPEG 75": lambda image: (image, ".jpg", 75),
    "enlarged 2 x, JPEG 60": lambda image: (image.resize((56, 56), Image.Resampling.BICUBIC), ".jpg", 60),
    "shrunk to 75 %, PNG": lambda image: (image.resize((21, 21), Image.Resampling.LANCZOS), ".png", 90),
    "enlarged 1.5 x, JPEG 90": lambda image: (image.resize((42, 42), Image.Resampling.BILINEAR), ".jpg", 90),
}


def alike(first, second):
    (a, _), (b, _) = thumbnails([str(p) for p in first]), thumbnails([str(p) for p in second])
    return similarity(a, b)


def show(name, values):
    low, one, median, high = np.percentile(values, [0, 1, 50, 100])
    print(f"{name:<44} {len(values):>6} {low:8.4f} {one:8.4f} {median:8.4f} {high:8.4f} "
          f"{np.count_nonzero(values >= SAME):>8}")


def main():
    scratch = Path(tempfile.mkdtemp(prefix="pretrain_pixel_threshold_"))
    originals, why_not = digits(scratch / "digits")
    if originals is None:
        sys.exit(why_not)
    paths = [path for path, _ in originals]
    hashes = measure_all([str(p) for p in paths])[0]["phash"]
    left, right = np.triu_indices(len(paths), 1)
    close = hamming(hashes[left], hashes[right]) <= DISTANCE
    print(f"{'pairs':<44} {'count':>6} {'min':>8} {'1 %':>8} {'median':>8} {'max':>8} {'>= ' + str(SAME):>8}")
    show(f"real digits, DCT hashes within {DISTANCE} bits", alike(
        [paths[i] for i in left[close]], [paths[j] for j in right[close]]))
    sample = random.Random(1).sample(originals, 100)
    for name, make in DIGIT_COPIES.items():
        copies = []
        for n, (_, image) in enumerate(sample):
            copy, suffix, quality = make(image)
            copies.append(scratch / f"{name[:8].replace(' ', '_')}_{n}{suffix}")
            save(copy.convert("RGB") if suffix == ".jpg" else copy, copies[-1], quality)
        show(f"digit copies: {name}", alike([p for p, _ in sample], copies))
    rng = np.random.default_rng(3)
    firsts, seconds = [], []
    for n in range(90):
        image = photo(rng, (320, 240))
        firsts.append(scratch / f"photo_{n}.jpg")
        save(image, firsts[-1])
        seconds.append(scratch / f"photo_{n}_copy.jpg")
        save(resized_copy(image, scale=(0.5, 0.7, 1.5)[n % 3], crop=(0.0, 0.02, 0.03)[n // 3 % 3]), seconds[-1],
             quality=(60, 75, 90)[n // 9 % 3])
    show("photo copies: x 0.5-1.5, crop 0-3 %, JPEG 60-90", alike(firsts, seconds))


if __name__ == "__main__":
    main()
