"""A generated class-per-folder dataset of photo-like images (smooth colour
fields with shapes, edges and fine texture, saved as JPEG) with one or more
planted problems of every kind the image checks report. Used by the tests
and by bench_image_checks.py.

    plant(root, per_class, classes, size) -> {kind: [paths or groups]}
"""
import io
import random

import numpy as np
from PIL import Image, ImageDraw, ImageEnhance, ImageFilter


def photo(rng, size):
    """A photo-like RGB image: a smooth random colour field, a few shapes and
    a little sensor noise."""
    width, height = size
    field = rng.integers(0, 256, (3, 4, 3), dtype=np.uint8)
    image = Image.fromarray(field).resize(size, Image.Resampling.BICUBIC)
    draw = ImageDraw.Draw(image)
    for _ in range(int(rng.integers(4, 9))):
        x, y = int(rng.integers(0, width)), int(rng.integers(0, height))
        w, h = int(rng.integers(width // 10, width // 3)), int(rng.integers(height // 10, height // 3))
        colour = tuple(int(c) for c in rng.integers(0, 256, 3))
        (draw.ellipse if rng.random() < 0.5 else draw.rectangle)((x, y, x + w, y + h), fill=colour)
    noise = rng.normal(0, 6, (height, width, 3))
    pixels = np.clip(np.asarray(image, dtype=np.float32) + noise, 0, 255).astype(np.uint8)
    return Image.fromarray(pixels)


def save(image, path, quality=90):
    buffer = io.BytesIO()
    image.save(buffer, "JPEG", quality=quality)
    path.write_bytes(buffer.getvalue())


def resized_copy(image, scale=0.7, crop=0.02):
    """The same picture cropped by a few per cent, resized and (on saving)
    recompressed."""
    width, height = image.size
    dx, dy = int(width * crop), int(height * crop)
    cropped = image.crop((dx, dy, width - dx, height - dy))
    return cropped.resize((int(width * scale), int(height * scale)), Image.Resampling.LANCZOS)


PLANTS = {
    "blurry": lambda image: image.filter(ImageFilter.GaussianBlur(3)),
    "dark": lambda image: ImageEnhance.Brightness(image).enhance(0.2),
    "light": lambda image: Image.eval(image, lambda v: 255 - (255 - v) // 5),
    "grayscale": lambda image: image.convert("L"),
    "low_information": lambda image: Image.new("RGB", image.size, (120, 130, 125)),
}


def plant(root, per_class=30, classes=3, size=(96, 72), seed=0, problems=True):
    """Writes the dataset under root; returns {kind: [path, ...]} for the
    planted single-file problems (two of each) and {"near_duplicates": [[path,
    path], ...]} for the three copies across classes. With problems false,
    the photos alone."""
    rng = np.random.default_rng(seed)
    pick = random.Random(seed)
    names = [f"class_{c}" for c in range(classes)]
    originals = []
    for name in names:
        (root / name).mkdir(parents=True, exist_ok=True)
        for i in range(per_class):
            image = photo(rng, size)
            path = root / name / f"{i:05d}.jpg"
            save(image, path)
            originals.append((path, image))
    if not problems:
        return {}
    chosen = pick.sample(originals, 20)
    planted = {kind: [] for kind in (*PLANTS, "odd_size", "odd_aspect_ratio")}
    planted["near_duplicates"] = []
    for n, (kind, change) in enumerate((k, c) for k in PLANTS for c in (PLANTS[k],) * 2):
        path, image = chosen[n]
        save(change(image), path)
        planted[kind].append(str(path))
    width, height = size
    for n, (kind, shape) in enumerate([("odd_size", (width * 6, height * 6)), ("odd_size", (width * 5, height * 5)),
                                       ("odd_aspect_ratio", (width * 4, height // 3)),
                                       ("odd_aspect_ratio", (width // 4, height * 2))]):
        path, _ = chosen[10 + n]
        save(photo(rng, shape), path)
        planted[kind].append(str(path))
    for n in range(3):
        path, image = chosen[14 + n]
        other = names[(names.index(path.parent.name) + 1) % classes]
        copy = root / other / f"copy_{n}.jpg"
        save(resized_copy(image, scale=[0.7, 1.5, 0.5][n]), copy, quality=[70, 85, 60][n])
        planted["near_duplicates"].append(sorted([str(path), str(copy)]))
    return planted


def score(planted, flagged, groups):
    """{kind: (found, planted, false positives)} for the files flagged per
    kind ({kind: [path, ...]}) and the near-duplicate groups ([[path, ...]]);
    a planted copy counts as found when a group holds both of its files, a
    group holding no planted pair is a false positive."""
    result = {}
    for kind, files in planted.items():
        if kind == "near_duplicates":
            hit = sum(any(set(pair) <= set(g) for g in groups) for pair in files)
            stray = sum(not any(set(pair) <= set(g) for pair in files) for g in groups)
        else:
            found = set(flagged.get(kind, []))
            hit, stray = len(found & set(files)), len(found - set(files))
        result[kind] = (hit, len(files), stray)
    return result
