"""What single images look like, judged from their measures (image_stats.py):
blurry, dark, light, little information, grey in a colour dataset, odd
size, odd aspect ratio. Each lists its files with their score, the worst
first, and the dataset's median of that score.

Scores and thresholds (relative to the dataset where a photo's content makes
the absolute value vary):
- blurry: sharpness (standard deviation of the Laplacian over that of the grey
  values, on the image reduced to a shorter side of 96 to 191 pixels),
  scored relative to the dataset's median, far under the dataset's own
  spread (outliers.py);
- dark: the 99th percentile of luminance below DARK (0 black, 1 white);
- light: the 5th percentile of luminance above LIGHT;
- low_information: the entropy of the grey-level histogram, relative to the
  median, far under the dataset's own spread (outliers.py);
- grayscale: mean spread between the largest and smallest channel below GREY
  (of 255), when at least COLOUR_DATASET of the images are in colour;
- odd_size: the side scale sqrt(area / median area) at least ODD_SIZE or at
  most its inverse;
- odd_aspect_ratio: width / height at least ODD_ASPECT times the median's, or
  at most its inverse."""
from dataclasses import dataclass
from typing import Callable

import numpy as np

from ..outliers import low_outliers
from . import Found, Kind

# robust deviations under the median (outliers.py): clean photos reach 3.5 in
# sharpness; one class of thin strokes (handwritten ones) reaches 5.7 in entropy
BLURRY_SPREADS = 4.0
LOW_INFORMATION_SPREADS = 6.0
DARK = 0.25
LIGHT = 0.7
GREY = 3.0
COLOUR_DATASET = 0.9
ODD_SIZE = 4.0
ODD_ASPECT = 2.5

WORST = {"lowest": lambda s: s, "highest": lambda s: -s,
         "furthest": lambda s: -np.abs(np.log(np.maximum(s, 1e-9)))}  # ratios, either way from 1


@dataclass(frozen=True)
class Look:
    """scores(measures, measured) -> (scores, flagged mask); `worst` orders
    the flagged files."""
    scores: Callable
    worst: str


def relative(values, measured):
    median = float(np.median(values[measured])) if measured.any() else 0.0
    return values / median if median > 0 else np.ones_like(values, dtype=np.float64)


def entropy(m, measured):
    return relative(m["entropy"], measured), low_outliers(m["entropy"], measured, LOW_INFORMATION_SPREADS)


def blurry(m, measured):
    # a flat image has no edges to blur
    flagged = low_outliers(m["sharpness"], measured, BLURRY_SPREADS) & ~entropy(m, measured)[1]
    return relative(m["sharpness"], measured), flagged


def dark(m, measured):
    return m["highlight"], m["highlight"] < DARK


def light(m, measured):
    return m["shadow"], m["shadow"] > LIGHT


def grayscale(m, measured):
    colour_dataset = np.count_nonzero(m["colour"][measured] >= GREY) >= COLOUR_DATASET * measured.sum()
    return m["colour"], (m["colour"] < GREY) & colour_dataset


def odd_size(m, measured):
    scale = np.sqrt(relative(m["width"].astype(np.float64) * m["height"], measured))
    return scale, (scale >= ODD_SIZE) | (scale <= 1 / ODD_SIZE)


def odd_aspect_ratio(m, measured):
    aspect = relative(m["width"] / np.maximum(m["height"], 1), measured)
    return aspect, (aspect >= ODD_ASPECT) | (aspect <= 1 / ODD_ASPECT)


def judge(look, facts):
    measured = facts.measured
    scores, flagged = look.scores(facts.measures, measured)
    scores = np.asarray(scores, dtype=np.float64)
    positions = np.flatnonzero(flagged & measured)
    positions = positions[np.argsort(WORST[look.worst](scores[positions]), kind="stable")]
    median = round(float(np.median(scores[measured])), 4) if measured.any() else None
    return Found([{"path": facts.names[i], "score": round(float(scores[i]), 4)} for i in positions],
                 {"median": median})


def scored_line(item):
    return f"{item['path']}: score {item['score']}"


LOOKS = (
    ("blurry", f"blurry images (sharpness over {BLURRY_SPREADS:g} robust deviations under the median)",
     Look(blurry, "lowest"), "blurriest"),
    ("dark", f"dark images (99th percentile of luminance under {DARK})", Look(dark, "lowest"), "darkest"),
    ("light", f"light images (5th percentile of luminance over {LIGHT})", Look(light, "highest"), "lightest"),
    ("low_information",
     f"images with little information (entropy over {LOW_INFORMATION_SPREADS:g} robust deviations under the median)",
     Look(entropy, "lowest"), ""),
    ("grayscale", f"grey images in a colour dataset (channel spread under {GREY:g})", Look(grayscale, "lowest"),
     ""),
    ("odd_size", f"images of odd size (side at least {ODD_SIZE:g} x or at most 1/{ODD_SIZE:g} of the median)",
     Look(odd_size, "furthest"), ""),
    ("odd_aspect_ratio", f"images of odd aspect ratio ({ODD_ASPECT:g} x the median's or more, either way)",
     Look(odd_aspect_ratio, "furthest"), ""),
)

KINDS = tuple(Kind(name, label, 60 + n, "measures", lambda facts, look=look: judge(look, facts), scored_line,
                   thumbnail=thumbnail, modes=("folder",))
              for n, (name, label, look, thumbnail) in enumerate(LOOKS))
