"""Logit-adjusted class probabilities: the model's probabilities with
tau * log(prior) taken off the log-probabilities, the prior being the class
frequencies of the training images, as LogitAdjustHook adjusts a head's
scores. A class without training images is left unadjusted."""
import numpy as np


def log_prior(counts):
    counts = np.asarray(counts, dtype=float)
    with np.errstate(divide="ignore"):
        return np.where(counts > 0, np.log(counts / max(counts.sum(), 1.0)), 0.0)


def adjusted(probs, counts, tau=1.0):
    logits = np.log(np.maximum(np.asarray(probs, dtype=float), 1e-30)) - tau * log_prior(counts)
    logits -= logits.max(axis=1, keepdims=True)
    exp = np.exp(logits)
    return exp / exp.sum(axis=1, keepdims=True)
