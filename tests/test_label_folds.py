"""K-fold out-of-sample probabilities through a tiny config (36 images of
8x8 pixels, LeNet-5, one epoch) from the command line: finished folds
reused, a fold interrupted while being saved trained again, the summary's
label_issues; a checkpoint judging the validation part; and the predictions
a user brings checked against the files."""
import numpy as np
import pytest
from PIL import Image

from conftest import run_python
from helpers.summaries import load_summary
from pretrain_check.labels.cross_validation import stratified_folds
from pretrain_check.labels.predictions_file import PredictionsError, load_predictions

CONFIG = """
custom_imports = dict(imports=["pretrain.cls_head", "pretrain.image", "pretrain.datasets", "pretrain_tools"],
                      allow_failed_imports=False)
default_scope = "mmpretrain"
pipeline = [dict(type="LoadImageFromFile", color_type="grayscale"), dict(type="Resize", scale=(32, 32)),
            dict(type="PackInputs")]
model = dict(type="ImageClassifier",
             data_preprocessor=dict(type="ClsDataPreprocessor", num_classes=3, mean=[127.5], std=[127.5],
                                    to_rgb=False),
             backbone=dict(type="LeNet5"), neck=dict(type="GlobalAveragePooling"),
             head=dict(type="LinearClsHead", num_classes=3, in_channels=120, loss=dict(type="CrossEntropyLoss")))
train_dataloader = dict(batch_size=8, num_workers=0, persistent_workers=False,
    sampler=dict(type="DefaultSampler", shuffle=True),
    dataset=dict(type="NeuDataset", data_root={root!r}, category_map={{"c0": "a", "c1": "b", "c2": "c"}},
                 init_pipeline=[], pipeline=pipeline))
train_cfg = dict(by_epoch=True, max_epochs=1)
optim_wrapper = dict(optimizer=dict(type="SGD", lr=0.05, momentum=0.9))
custom_hooks = [dict(type="LogitAdjustHook", tau=1.0)]
randomness = dict(seed=0)
"""

# The command line, with the second fold interrupted while its
# probabilities are being written when argv[1] is "interrupt".
RUN = """
import sys
import numpy as np
from pretrain_check import cli
from pretrain_check.labels import cross_validation
real_savez = np.savez
def savez(target, **arrays):
    real_savez(target, **arrays)
    if "fold_1" in str(target):
        raise KeyboardInterrupt
if sys.argv.pop(1) == "interrupt":
    cross_validation.np.savez = savez
sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.fixture(scope="module")
def tiny_config(tmp_path_factory):
    root = tmp_path_factory.mktemp("tiny_folds")
    rng = np.random.default_rng(0)
    for label in range(3):
        (root / "data" / f"c{label}").mkdir(parents=True)
        for i in range(12):
            pixels = rng.integers(0, 60, (8, 8))
            pixels[:, 2 * label:2 * label + 3] += 180
            Image.fromarray(pixels.astype(np.uint8)).save(root / "data" / f"c{label}" / f"{i:02d}.png")
    config = root / "tiny.py"
    config.write_text(CONFIG.format(root=str(root / "data")))
    return config


def label_check(how, config, work, *flags):
    return run_python(None, check=False, args=["-c", RUN, how, "--config", str(config), "--label-issues",
                                               "--folds", "3", "--work-dir", str(work), *map(str, flags)])


def test_folds_through_the_config_resume_after_an_interruption(tiny_config, tmp_path):
    work, listed, summary = tmp_path / "work", tmp_path / "files.txt", tmp_path / "summary.json"
    interrupted = label_check("interrupt", tiny_config, work)
    assert interrupted.returncode == 130 and "pretrain-check: interrupted" in interrupted.stderr
    assert "fold 2/3: training on 24 images, then predicting 12" in interrupted.stderr
    assert [p.name for p in sorted(work.glob("*/fold_*.npz"))] == ["fold_0.npz", "fold_1.npz.partial.npz"]

    resumed = label_check("finish", tiny_config, work, "--list-files", listed, "--json", summary)
    assert resumed.returncode in (0, 1), resumed.stderr
    assert "fold 1/3: reusing" in resumed.stderr
    assert "fold 2/3: training on 24 images" in resumed.stderr and "fold 3/3: training" in resumed.stderr
    found = load_summary(summary)["problems"]["label_issues"]
    assert found["ran"] and found["count"] == len(found["files"])
    assert found["per_class"] == {name: {"files": 12, "suspects": found["per_class"][name]["suspects"]}
                                  for name in "abc"}
    for item in found["files"]:
        assert list(item) == ["path", "given", "suggested", "score"] and item["given"] != item["suggested"]
    lines = listed.read_text().splitlines()
    assert lines[0] == "# columns:\ta\tb\tc" and len(lines) == 37 and lines[1:] == sorted(lines[1:])
    assert lines[1].endswith("/c0/00.png\ta")


def test_folds_are_stratified_and_cover_every_item():
    labels = np.array([0] * 10 + [1] * 7 + [2] * 1)
    assigned = stratified_folds(labels, 5)
    assert sorted(np.bincount(assigned).tolist()) == [3, 3, 4, 4, 4]
    for label, size in ((0, 10), (1, 7)):
        per_fold = np.bincount(assigned[labels == label], minlength=5)
        assert per_fold.max() - per_fold.min() <= 1 and per_fold.sum() == size


def probabilities(labels, sure=0.9, classes=3):
    probs = np.full((len(labels), classes), (1 - sure) / (classes - 1))
    probs[np.arange(len(labels)), labels] = sure
    return probs


@pytest.mark.parametrize("change, message", [
    (lambda p, labels: p[:-1], "shape (29, 3), expected (30, 3)"),
    (lambda p, labels: p.T, "shape (3, 30), expected (30, 3)"),
    (lambda p, labels: np.log(p), "expected probabilities"),
    (lambda p, labels: p * 2, "rows sum to 2..2, expected 1"),
    (lambda p, labels: p[np.argsort(labels, kind="stable")], "no better than chance"),
], ids=["row missing", "transposed", "log-probabilities", "not normalised", "another order"])
def test_predictions_that_do_not_fit_the_files_are_refused(tmp_path, change, message):
    labels = np.tile([0, 1, 2], 10)
    source = tmp_path / "p.npy"
    np.save(source, change(probabilities(labels), labels))
    with pytest.raises(PredictionsError, match=message.replace("(", r"\(").replace(")", r"\)")):
        load_predictions(source, labels, ["a", "b", "c"])


def test_predictions_in_the_listed_order_are_taken(tmp_path):
    labels = np.tile([0, 1, 2], 10)
    probs = probabilities(labels)
    probs[:5] = probabilities(np.roll(labels[:5], 1))   # a few disagreements are not an order mistake
    np.save(tmp_path / "p.npy", probs)
    assert np.array_equal(load_predictions(tmp_path / "p.npy", labels, ["a", "b", "c"]), probs)


# Trains the tiny config one epoch with a checkpoint, then judges its
# validation part (13 of the 36 files) with that checkpoint.
CHECKPOINT_RUN = """
import sys
from mmengine.config import Config
from mmengine.runner import Runner
from pretrain_check import cli
config, work, summary = sys.argv[1:]
cfg = Config.fromfile(config)
cfg.work_dir, cfg.log_level = work, "WARNING"
Runner.from_cfg(cfg).train()
sys.exit(cli.main(["--config", config, "--checkpoint", work + "/epoch_1.pth", "--work-dir", work,
                   "--json", summary, "--quiet"]))
"""

VALIDATION = """
val_dataloader = dict(batch_size=8, num_workers=0, persistent_workers=False,
    sampler=dict(type="DefaultSampler", shuffle=False),
    dataset=dict(type="NeuDataset", data_root={root!r}, category_map={{"c0": "a", "c1": "b", "c2": "c"}},
                 init_pipeline=[dict(type="SplitData", start=0.66, end=1.0, random=True, seed=1)],
                 pipeline=pipeline))
val_evaluator = dict(type="Accuracy", topk=(1,))
val_cfg = dict()
train_cfg = dict(by_epoch=True, max_epochs=1, val_interval=1)
default_hooks = dict(checkpoint=dict(type="CheckpointHook", interval=1))
"""


def test_a_checkpoint_judges_the_validation_part(tiny_config, tmp_path):
    config = tmp_path / "with_validation.py"
    config.write_text(tiny_config.read_text() + VALIDATION.format(root=str(tiny_config.parent / "data")))
    summary = tmp_path / "summary.json"
    proc = run_python(None, check=False, args=["-c", CHECKPOINT_RUN, str(config), str(tmp_path / "work"),
                                               str(summary)])
    assert proc.returncode in (0, 1), proc.stderr
    found = load_summary(summary)["problems"]["label_issues"]
    assert found["ran"] and sum(c["files"] for c in found["per_class"].values()) == 13
    assert all(item["part"] == "val" for item in found["files"])
