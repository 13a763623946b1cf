"""Confident learning on hand-made probability matrices whose wrong labels
are known."""
import numpy as np
import pytest

from pretrain_check.labels.confident_learning import find_label_issues, naive_issues
from pretrain_check.labels.prior_adjustment import adjusted


def confident_rows(labels, classes, sure=0.9):
    probs = np.full((len(labels), classes), (1 - sure) / (classes - 1))
    probs[np.arange(len(labels)), labels] = sure
    return probs


def test_flips_found_worst_first_with_their_true_class():
    truth = np.repeat([0, 1, 2], 10)
    probs = confident_rows(truth, 3)
    probs[15] = [0.02, 0.96, 0.02]
    given = truth.copy()
    given[[4, 15]] = [1, 2]         # a 0 filed under 1, a surer 1 filed under 2
    found = find_label_issues(given, probs)
    assert found.positions.tolist() == [15, 4]
    assert found.suggested.tolist() == [1, 0]
    assert found.scores[0] < found.scores[1] and 0 <= found.scores.min() <= found.scores.max() <= 1
    assert found.suspects.tolist() == [0, 1, 1] and found.images.tolist() == [9, 10, 11]
    by_margin = find_label_issues(given, probs, rank_by="normalized_margin")
    assert by_margin.positions.tolist() == [15, 4] and (by_margin.scores >= found.scores).all()


def test_clean_labels_and_unsure_model_give_nothing():
    labels = np.repeat([0, 1, 2], 10)
    assert find_label_issues(labels, confident_rows(labels, 3)).positions.size == 0
    assert find_label_issues(labels, np.full((30, 3), 1 / 3)).positions.size == 0


@pytest.mark.parametrize("row, flagged", [([0.05, 0.05, 0.9], False), ([0.9, 0.05, 0.05], True)],
                         ids=["agrees", "disagrees"])
def test_class_with_one_image(row, flagged):
    labels = np.array([0] * 8 + [1] * 8 + [2])
    probs = confident_rows(labels, 3)
    probs[16] = row
    found = find_label_issues(labels, probs)
    assert found.positions.tolist() == ([16] if flagged else [])
    assert found.suspects[2] == int(flagged) and found.images[2] == 1
    if flagged:
        assert found.suggested.tolist() == [0]


def test_class_no_image_is_predicted_as():
    labels = np.array([0] * 10 + [1] * 10 + [2] * 5)
    probs = confident_rows(labels, 4)
    probs[20:] = [0.85, 0.05, 0.05, 0.05]  # the model never says 2: every "2" looks like a 0
    probs[3] = [0.1, 0.04, 0.01, 0.85]   # class 3 has no image: nothing is confidently 3
    found = find_label_issues(labels, probs)
    assert sorted(found.positions.tolist()) == [20, 21, 22, 23, 24]
    assert set(found.suggested.tolist()) == {0}
    assert found.suspects.tolist() == [0, 0, 5, 0]


def test_ties_keep_the_given_label_and_the_file_order():
    labels = np.repeat([0, 1], 6)
    probs = confident_rows(labels, 2)
    probs[0] = [0.5, 0.5]                 # a tie never makes a suspect
    probs[[7, 9]] = [0.95, 0.05]          # two equally sure 0s filed under 1
    found = find_label_issues(labels, probs)
    assert found.positions.tolist() == [7, 9]
    assert naive_issues(labels, probs).tolist() == [7, 9]


def test_logit_adjustment_lifts_rare_classes():
    probs = np.array([[0.6, 0.4], [0.5, 0.5]])
    lifted = adjusted(probs, counts=[90, 10])
    assert np.allclose(lifted.sum(axis=1), 1) and (lifted[:, 1] > probs[:, 1]).all()
    assert np.allclose(adjusted(probs, [50, 50]), probs)
    assert np.allclose(adjusted(probs, [90, 0]), adjusted(probs, [1, 0]))  # a class without images stays
