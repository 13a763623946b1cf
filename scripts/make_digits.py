"""Write the bundled sample dataset data/digits/ (run once, by hand).

Source: the 1,797 real 8x8 handwritten-digit images that scikit-learn ships
(sklearn.datasets.load_digits, pixel values 0..16). Each image becomes a
greyscale PNG (mode "L", 8x8, value scaled to round(v*255/16)) stored as
data/digits/<target>/<index:04d>.png, the index running over the whole set.

Needs scikit-learn and Pillow, in a throwaway environment, e.g.:
    python3 -m venv /tmp/sk && /tmp/sk/bin/pip install -q scikit-learn pillow
    /tmp/sk/bin/python scripts/make_digits.py
The project itself never imports scikit-learn; it only reads the PNGs.
"""
from pathlib import Path

import numpy as np
from PIL import Image
from sklearn.datasets import load_digits

OUT = Path(__file__).resolve().parent.parent / "data" / "digits"


def main():
    digits = load_digits()
    for d in range(10):
        (OUT / str(d)).mkdir(parents=True, exist_ok=True)
    for i, (img, target) in enumerate(zip(digits.images, digits.target)):
        pixels = np.rint(img * 255.0 / 16.0).clip(0, 255).astype(np.uint8)
        Image.fromarray(pixels, mode="L").save(
            OUT / str(int(target)) / f"{i:04d}.png", optimize=True)
    print(f"wrote {len(digits.images)} images to {OUT}")


if __name__ == "__main__":
    main()
