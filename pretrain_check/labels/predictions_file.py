"""The files whose labels are judged, and the out-of-sample probabilities a
user brings for them (`--list-files`, `--predictions`).

The list is sorted by path, so it does not depend on the order in which a
file system lists a folder; its first line, "# columns:" and the class names
separated by tabs, gives the order of the columns; then one line per file:
path, a tab, given class.
The probabilities are an N x C `.npy` array whose row i belongs to line i."""
import numpy as np


class PredictionsError(ValueError):
    """A predictions file that does not fit the files it should describe."""


def write_file_list(target, paths, labels, classes):
    with open(target, "w", encoding="utf-8") as out:
        out.write("\t".join(["# columns:", *classes]) + "\n")
        for path, label in zip(paths, labels):
            out.write(f"{path}\t{classes[label]}\n")


def load_predictions(source, labels, classes):
    """The N x C probabilities of `source` for the N files of the list, after
    checking shape, values and order."""
    try:
        probs = np.load(source, allow_pickle=False)
    except (OSError, ValueError) as error:
        raise PredictionsError(f"{source}: not a readable .npy array ({error})") from None
    labels = np.asarray(labels)
    expected = (len(labels), len(classes))
    if probs.ndim != 2 or probs.shape != expected:
        raise PredictionsError(f"{source}: shape {tuple(probs.shape)}, expected {expected} "
                               f"(one row per file of --list-files, one column per class)")
    if not np.issubdtype(probs.dtype, np.number) or not np.isfinite(probs).all() or probs.min() < 0:
        raise PredictionsError(f"{source}: expected probabilities, found negative, infinite or NaN values")
    sums = probs.sum(axis=1)
    if not np.allclose(sums, 1, atol=1e-3):
        raise PredictionsError(f"{source}: rows sum to {sums.min():.3g}..{sums.max():.3g}, expected 1 "
                               "(probabilities, not scores)")
    predicted = probs.argmax(axis=1)
    agreement = float((predicted == labels).mean())
    if agreement <= chance_agreement(labels, predicted, len(classes)):
        raise PredictionsError(f"{source}: the most probable class is the given one for only "
                               f"{100 * agreement:.0f} % of the files, no better than chance: are the rows "
                               "in the order of --list-files (sorted by path)?")
    return probs.astype(float)


def chance_agreement(labels, predicted, classes):
    """How often the predictions would agree with the labels if the rows were
    in another order: the sum over classes of (share given) x (share
    predicted), plus three standard deviations."""
    count = max(len(labels), 1)
    expected = float(np.dot(np.bincount(labels, minlength=classes), np.bincount(predicted, minlength=classes))) / count**2
    return expected + 3 * np.sqrt(expected * (1 - expected) / count)
