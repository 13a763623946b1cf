"""A generated long-tailed class-per-folder dataset of 16x16 grey glyphs:
each class a random stroke pattern of its own, each image that pattern
shifted by up to two pixels, with its contrast varied and noise added.
Class k has round(largest * ratio ** (-k / (classes - 1))) images."""
import numpy as np
from PIL import Image

SIZE = 16


def prototypes(rng, classes):
    """One pattern per class: three random strokes on a blank square."""
    shapes = np.zeros((classes, SIZE, SIZE))
    for shape in shapes:
        for _ in range(3):
            x0, y0, x1, y1 = rng.integers(3, SIZE - 3, 4)
            steps = np.linspace(0, 1, 2 * SIZE)
            shape[np.round(y0 + steps * (y1 - y0)).astype(int), np.round(x0 + steps * (x1 - x0)).astype(int)] = 1
    return shapes


def class_sizes(classes, largest, ratio):
    return [int(round(largest * ratio ** (-k / (classes - 1)))) for k in range(classes)]


def write_glyphs(root, classes=12, largest=150, ratio=10, seed=0):
    """Writes root/<class>/<n>.png; returns the class sizes."""
    rng = np.random.default_rng(seed)
    shapes = prototypes(rng, classes)
    sizes = class_sizes(classes, largest, ratio)
    for label, count in enumerate(sizes):
        folder = root / f"g{label:02d}"
        folder.mkdir(parents=True, exist_ok=True)
        for n in range(count):
            shifted = np.roll(shapes[label], tuple(rng.integers(-2, 3, 2)), axis=(0, 1))
            pixels = 40 + shifted * rng.uniform(120, 215) + rng.normal(0, 25, (SIZE, SIZE))
            Image.fromarray(np.clip(pixels, 0, 255).astype(np.uint8)).save(folder / f"{n:04d}.png")
    return sizes
