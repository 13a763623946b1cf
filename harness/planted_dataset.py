"""A generated class-per-folder dataset of photo-like images (smooth colour
fields with shapes, edges and fine texture, saved as JPEG) with one or more
planted problems of every kind the image checks report. Used by the tests
and by the benches; `plant_problems` plants the same into any dataset
(bench/real_digits.py).

    plant(root, per_class, classes, size) -> {kind: [paths or groups]}
"""
import io
import random

import numpy as np
from PIL import Image, ImageDraw, ImageEnhance, ImageFilter


def photo(rng, size, soft=0):
    """A photo-like RGB image: a smooth random colour field, a few shapes and
    a little sensor noise; `soft` blurs it by that radius."""
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
    return Image.fromarray(pixels).filter(ImageFilter.GaussianBlur(soft)) if soft else Image.fromarray(pixels)


def save(image, path, quality=90):
    """Saves as JPEG, or as PNG where the path says so."""
    buffer = io.BytesIO()
    if path.suffix == ".png":
        image.save(buffer, "PNG")
    else:
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
    "blurry": lambda image, blur: image.filter(ImageFilter.GaussianBlur(blur)),
    "dark": lambda image, blur: ImageEnhance.Brightness(image).enhance(0.2),
    "light": lambda image, blur: Image.eval(image, lambda v: 255 - (255 - v) // 5),
    "grayscale": lambda image, blur: image.convert("L"),
    "low_information": lambda image, blur: Image.new("RGB", image.size, (120, 130, 125)),
}


def plant(root, per_class=30, classes=3, size=(96, 72), seed=0, problems=True, soft=0, blur=3):
    """Writes the dataset under root (photos blurred by `soft`); returns
    plant_problems' {kind: [...]}, or {} with problems false (the photos
    alone)."""
    rng = np.random.default_rng(seed)
    originals = []
    for c in range(classes):
        (root / f"class_{c}").mkdir(parents=True, exist_ok=True)
        for i in range(per_class):
            image = photo(rng, size, soft)
            path = root / f"class_{c}" / f"{i:05d}.jpg"
            save(image, path)
            originals.append((path, image))
    return plant_problems(originals, seed, blur) if problems else {}


def plant_problems(originals, seed=0, blur=3, copy_scales=(0.7, 1.5, 0.5)):
    """Plants problems among originals ([(path, image)] in class folders, the
    same size): returns {kind: [path, ...]} for the single-file problems
    (two of each, blurred by `blur`) and {"near_duplicates": [[path, path],
    ...]} for three copies in the next class, cropped by 2 % a side, scaled by
    copy_scales and saved as JPEG."""
    pick = random.Random(seed)
    names = sorted({path.parent.name for path, _ in originals})
    chosen = pick.sample(originals, 20)
    planted = {kind: [] for kind in (*PLANTS, "odd_size", "odd_aspect_ratio")}
    planted["near_duplicates"] = []
    for n, kind in enumerate(k for k in PLANTS for _ in range(2)):
        path, image = chosen[n]
        save(PLANTS[kind](image.convert("RGB"), blur), path)
        planted[kind].append(str(path))
    width, height = chosen[0][1].size
    for n, (kind, shape) in enumerate([("odd_size", (width * 6, height * 6)), ("odd_size", (width * 5, height * 5)),
                                       ("odd_aspect_ratio", (width * 4, height // 3)),
                                       ("odd_aspect_ratio", (width // 4, height * 2))]):
        path, image = chosen[10 + n]
        save(image.resize(shape, Image.Resampling.BICUBIC), path)
        planted[kind].append(str(path))
    for n in range(3):
        path, image = chosen[14 + n]
        other = names[(names.index(path.parent.name) + 1) % len(names)]
        copy = path.parent.parent / other / f"copy_{n}.jpg"
        save(resized_copy(image, scale=copy_scales[n]), copy, quality=[70, 85, 60][n])
        planted["near_duplicates"].append(sorted([str(path), str(copy)]))
    return planted


def score(planted, flagged, groups):
    """{kind: (found, planted, clean files flagged)} for the files flagged per
    kind ({kind: [path, ...]}) and the near-duplicate groups ([[path, ...]]);
    a planted copy counts as found when a group holds both of its files, a
    group holding no planted pair counts its files as clean ones flagged.
    Planted files flagged under another kind (an enlarged image is also
    blurry) are not counted."""
    result, planted_files = {}, set()
    for files in planted.values():
        planted_files.update(f for item in files for f in ([item] if isinstance(item, str) else item))
    for kind, files in planted.items():
        if kind == "near_duplicates":
            hit = sum(any(set(pair) <= set(g) for g in groups) for pair in files)
            stray = sum(len(g) for g in groups if not any(set(pair) <= set(g) for pair in files))
        else:
            found = set(flagged.get(kind, []))
            hit, stray = len(found & set(files)), len(found - planted_files)
        result[kind] = (hit, len(files), stray)
    return result
