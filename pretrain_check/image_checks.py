"""The checks of what the images look like, judged from their measures
(image_stats.py): near duplicates, blurry, dark, light, low information,
grey images in a colour dataset, odd sizes and odd aspect ratios. Each kind
lists its files with their score, the worst first.

Scores and thresholds (relative to the dataset where a photo's content makes
the absolute value vary):
- blurry: sharpness (standard deviation of the Laplacian over that of the grey
  values, on the image reduced to a shorter side of 96 to 191 pixels) below
  BLURRY times the dataset's median;
- dark: the 99th percentile of luminance below DARK (0 black, 1 white);
- light: the 5th percentile of luminance above LIGHT;
- low_information: the entropy of the grey-level histogram below
  LOW_INFORMATION times the dataset's median;
- grayscale: mean spread between the largest and smallest channel below GREY
  (of 255), when at least COLOUR_DATASET of the images are in colour;
- odd_size: the side scale sqrt(area / median area) at least ODD_SIZE or at
  most its inverse;
- odd_aspect_ratio: width / height at least ODD_ASPECT times the median's, or
  at most its inverse."""
import numpy as np

from .duplicates import class_of
from .image_stats import HASH_SIDE, MEASURES, measure_all
from .near_duplicates import CONFIRM_DISTANCE, DISTANCE, near_groups
from .workers import WORKER_DIED

BLURRY = 0.3
DARK = 0.25
LIGHT = 0.7
LOW_INFORMATION = 0.4
GREY = 3.0
COLOUR_DATASET = 0.9
ODD_SIZE = 4.0
ODD_ASPECT = 2.5

KINDS = {
    "near_duplicates": f"groups of near duplicates (perceptual hashes within {DISTANCE} and {CONFIRM_DISTANCE} of 64 bits)",
    "blurry": f"blurry images (sharpness under {BLURRY} x the median)",
    "dark": f"dark images (99th percentile of luminance under {DARK})",
    "light": f"light images (5th percentile of luminance over {LIGHT})",
    "low_information": f"images with little information (entropy under {LOW_INFORMATION} x the median)",
    "grayscale": f"grey images in a colour dataset (channel spread under {GREY:g})",
    "odd_size": f"images of odd size (side at least {ODD_SIZE:g} x or at most 1/{ODD_SIZE:g} of the median)",
    "odd_aspect_ratio": f"images of odd aspect ratio ({ODD_ASPECT:g} x the median's or more, either way)",
    "not_checked": "files the image checks could not measure",
}


def flagged(names, scores, selected, worst_first):
    """{"count", "files": [{"path", "score"}]} for the selected files, the
    worst first: the "lowest" scores, the "highest", or the "furthest" from 1
    either way (ratios)."""
    positions = np.flatnonzero(selected)
    order = {"lowest": scores, "highest": -scores, "furthest": -np.abs(np.log(np.maximum(scores, 1e-9)))}
    positions = positions[np.argsort(order[worst_first][positions], kind="stable")]
    return {"count": len(positions),
            "files": [{"path": names[i], "score": round(float(scores[i]), 4)} for i in positions]}


def relative(values, measured):
    median = float(np.median(values[measured])) if measured.any() else 0.0
    return values / median if median > 0 else np.ones_like(values)


def judged(names, found, measured):
    """The single-image kinds, over the files measured (a boolean mask)."""
    entropy = relative(found["entropy"], measured)
    informative = measured & (entropy >= LOW_INFORMATION)
    sharpness = relative(found["sharpness"], measured)
    area = found["width"].astype(np.float64) * found["height"]
    scale = np.sqrt(relative(area, measured))
    aspect = relative(found["width"] / np.maximum(found["height"], 1), measured)
    colour_dataset = np.count_nonzero(found["colour"][measured] >= GREY) >= COLOUR_DATASET * measured.sum()
    return {
        "blurry": flagged(names, sharpness, informative & (sharpness < BLURRY), "lowest"),
        "dark": flagged(names, found["highlight"], measured & (found["highlight"] < DARK), "lowest"),
        "light": flagged(names, found["shadow"], measured & (found["shadow"] > LIGHT), "highest"),
        "low_information": flagged(names, entropy, measured & ~informative, "lowest"),
        "grayscale": flagged(names, found["colour"], measured & (found["colour"] < GREY) & colour_dataset,
                             "lowest"),
        "odd_size": flagged(names, scale, measured & ((scale >= ODD_SIZE) | (scale <= 1 / ODD_SIZE)), "furthest"),
        "odd_aspect_ratio": flagged(names, aspect,
                                    measured & ((aspect >= ODD_ASPECT) | (aspect <= 1 / ODD_ASPECT)), "furthest"),
    }


def near_duplicates(names, found, measured, root, exact_groups):
    """Groups of near duplicates, those spanning several classes first; a
    group whose files all have the same bytes is left to the exact
    duplicates."""
    exact = {path: n for n, group in enumerate(exact_groups) for path in group["files"]}
    kept = np.flatnonzero(measured)
    groups = []
    for members, distance in near_groups(found["phash"][kept], found["dhash"][kept], tiny(found[kept])):
        files = [names[kept[i]] for i in members]
        if len({exact.get(f, f) for f in files}) < 2:
            continue
        classes = sorted({class_of(f, root) for f in files})
        groups.append({"files": files, "classes": classes, "label_noise": len(classes) > 1,
                       "distance": distance})
    groups.sort(key=lambda g: (not g["label_noise"], -len(g["files"]), g["files"][0]))
    return {"count": len(groups), "files": sum(len(g["files"]) for g in groups),
            "across_classes": sum(g["label_noise"] for g in groups), "groups": groups}


def lost_measures(chunk):
    return np.zeros(len(chunk), dtype=MEASURES), [(position, WORKER_DIED) for position in range(len(chunk))]


def tiny(found):
    """Images smaller than the perceptual hashes' grid."""
    return np.minimum(found["width"], found["height"]) < HASH_SIDE


def measure_files(names, workers, progress):
    """(measures, measured mask, failures) over names, measured by the workers."""
    found = np.zeros(len(names), dtype=MEASURES)
    failures = []
    for start, (chunk, failed) in workers.map_chunks(measure_all, names, progress, lost=lost_measures):
        found[start:start + len(chunk)] = chunk
        failures.extend((start + position, text) for position, text in failed)
    measured = np.ones(len(names), dtype=bool)
    measured[[position for position, _ in failures]] = False
    return found, measured, failures


def image_checks(paths, root, exact_groups, workers, progress):
    """Every kind of KINDS for the readable files of paths."""
    names = [str(p) for p in paths]
    found, measured, failures = measure_files(names, workers, progress)
    problems = {"near_duplicates": near_duplicates(names, found, measured, root, exact_groups)}
    problems.update(judged(names, found, measured))
    problems["not_checked"] = {"count": len(failures),
                               "files": [{"path": names[i], "error": text} for i, text in failures]}
    return problems
