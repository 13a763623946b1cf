"""Per-class recall and balanced accuracy of class scores, and the choice of
tau on them.

`raw_scores` are the head's scores before any adjustment (or those scores
shifted by a constant per sample, which changes no prediction); the scores at
tau are raw_scores - tau * log_prior, as the classifier predicts with
bias = tau * log_prior.
"""
import torch

# 0, 0.1, ..., 3.0
TAU_GRID = tuple(round(0.1 * i, 1) for i in range(31))


def per_class_recall(raw_scores, labels, bias):
    """Recall per class in percent (nan for a class without samples) and the
    number of samples per class."""
    num_classes = raw_scores.shape[1]
    predicted = (raw_scores - bias).argmax(dim=1)
    samples = torch.bincount(labels, minlength=num_classes)
    hits = torch.bincount(labels[predicted == labels], minlength=num_classes)
    return 100.0 * hits.double() / samples.double(), samples


def balanced_accuracy(recall):
    """Mean recall over the classes that have samples."""
    present = recall[~recall.isnan()]
    return float(present.mean()) if present.numel() else float("nan")


def balanced_accuracy_at(raw_scores, labels, log_prior, tau):
    return balanced_accuracy(per_class_recall(raw_scores, labels, tau * log_prior)[0])


def choose_tau(raw_scores, labels, log_prior, grid=TAU_GRID):
    """The tau of `grid` with the highest balanced accuracy; among equal ones
    (frequent on a small validation part) the one nearest to 1, the value the
    theory gives, and the smaller of two equally near."""
    accuracy = {tau: balanced_accuracy_at(raw_scores, labels, log_prior, tau) for tau in grid}
    best = max(accuracy.values())
    return min((tau for tau in grid if accuracy[tau] == best), key=lambda tau: (abs(tau - 1.0), tau))
