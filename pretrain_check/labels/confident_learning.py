"""Wrong labels from out-of-sample class probabilities, by confident learning
(Northcutt, Jiang and Chuang, "Confident learning: estimating uncertainty in
dataset labels", JAIR 2021).

1. Threshold of class j: the mean probability of j over the images given j
   (how sure the model is of that class when the label is right, on average).
2. Confident joint: an image given i counts in cell (i, j) when j is, among
   the classes whose probability reaches their threshold, the most probable.
3. Calibration: each row rescaled to the number of images given i, the whole
   to the number of images, which estimates how many images given i are j;
   rounded to whole images row by row, keeping each row's total (largest
   remainders round up; among equal ones, the higher class).
4. Prune by noise rate: for every off-diagonal cell (i, j), that many images
   given i with the largest margin p(j) - p(i) are suspects; an image whose
   most probable class is its given one never is.
5. Rank: the score of an image is its label quality (lower is worse): its
   self-confidence p(given), which ranked the planted flips of the bench
   better than the normalised margin p(given) - max of the others.
"""
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Found:
    positions: np.ndarray   # suspect images, worst first
    suggested: np.ndarray   # the class each suspect probably is
    scores: np.ndarray      # label quality of each suspect (lower: more likely wrong)
    suspects: np.ndarray    # per given class, how many of its images are suspects
    images: np.ndarray      # per given class, how many images it has


def thresholds(labels, probs):
    """Mean self-confidence per given class; inf for a class no image is
    given, so that no image is ever confidently that class."""
    classes = probs.shape[1]
    given = np.bincount(labels, minlength=classes)
    totals = np.bincount(labels, weights=probs[np.arange(len(labels)), labels], minlength=classes)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(given > 0, totals / np.maximum(given, 1), np.inf)


def confident_joint(labels, probs, limits):
    """Counts (given class, confident class); images confident in no class
    are left out. Among tied probabilities the given class wins, then the
    lowest class."""
    classes = probs.shape[1]
    reached = probs >= limits - 1e-12
    masked = np.where(reached, probs, -1.0)
    masked[np.arange(len(labels)), labels] += 1e-12 * reached[np.arange(len(labels)), labels]
    confident = masked.argmax(axis=1)
    counted = reached.any(axis=1)
    joint = np.zeros((classes, classes), dtype=np.int64)
    np.add.at(joint, (labels[counted], confident[counted]), 1)
    return joint


def calibrated(joint, labels):
    """The confident joint as estimated image counts: rows scaled to the
    given counts, the whole to the number of images."""
    given = np.bincount(labels, minlength=joint.shape[0]).astype(float)
    rows = joint.sum(axis=1, keepdims=True).astype(float)
    scaled = np.divide(joint * given[:, None], rows, out=np.zeros(joint.shape), where=rows > 0)
    total = scaled.sum()
    return whole_rows(scaled * (len(labels) / total) if total else scaled)


def whole_rows(counts):
    """Whole numbers with the rounded row totals kept: each row's cells are
    rounded down, then the ones with the largest remainders get the missing
    units (the last among equal ones)."""
    whole = np.floor(counts)
    missing = (np.floor(counts.sum(axis=1) + 0.5) - whole.sum(axis=1)).astype(int)
    for row, units in enumerate(missing):
        if units > 0:
            whole[row, np.argsort(counts[row] - whole[row], kind="stable")[::-1][:units]] += 1
    return whole.astype(np.int64)


def pruned(labels, probs, counts):
    """Boolean mask of suspects: per off-diagonal cell (i, j), the
    counts[i, j] images given i with the largest p(j) - p(i)."""
    suspect = np.zeros(len(labels), dtype=bool)
    for given in range(counts.shape[0]):
        members = np.flatnonzero(labels == given)
        for other in range(counts.shape[1]):
            take = min(int(counts[given, other]), len(members))
            if other == given or take == 0:
                continue
            margin = probs[members, other] - probs[members, given]
            suspect[members[np.argsort(-margin, kind="stable")[:take]]] = True
    return suspect


def label_quality(labels, probs, rank_by="self_confidence"):
    """Per image, in [0, 1], lower when the given label is less likely."""
    rows = np.arange(len(labels))
    own = probs[rows, labels]
    if rank_by == "self_confidence":
        return own
    others = probs.copy()
    others[rows, labels] = -np.inf
    return (own - others.max(axis=1) + 1) / 2


def most_probable_other(labels, probs):
    others = probs.copy()
    others[np.arange(len(labels)), labels] = -np.inf
    return others.argmax(axis=1)


def find_label_issues(labels, probs, rank_by="self_confidence"):
    """Suspected wrong labels among images with given `labels` (N ints) and
    out-of-sample class probabilities `probs` (N x C)."""
    labels = np.asarray(labels, dtype=np.int64)
    probs = np.asarray(probs, dtype=float)
    classes = probs.shape[1]
    counts = calibrated(confident_joint(labels, probs, thresholds(labels, probs)), labels)
    suspect = pruned(labels, probs, counts)
    best = probs.argmax(axis=1)
    suspect &= probs[np.arange(len(labels)), best] > probs[np.arange(len(labels)), labels]
    quality = label_quality(labels, probs, rank_by)
    positions = np.flatnonzero(suspect)
    positions = positions[np.argsort(quality[positions], kind="stable")]
    return Found(positions=positions,
                 suggested=most_probable_other(labels, probs)[positions],
                 scores=quality[positions],
                 suspects=np.bincount(labels[positions], minlength=classes),
                 images=np.bincount(labels, minlength=classes))


def naive_issues(labels, probs):
    """The rule "the most probable class is not the given one", for comparison."""
    labels = np.asarray(labels)
    return np.flatnonzero(np.asarray(probs).argmax(axis=1) != labels)
