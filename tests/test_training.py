"""Training from a plain config through mmengine's Runner: the head's `bias`
buffer, LogitAdjustHook, checkpoints that reload, and the analysis script."""
import json
import math
import sys

import numpy as np
import pytest
import torch
from PIL import Image

from conftest import REPO, run_python

import pretrain_tools  # noqa: E402,F401  (first: what the stack reads on Windows)
import pretrain.cls_head  # noqa: E402,F401
import pretrain.datasets  # noqa: E402,F401
import pretrain.image  # noqa: E402
from pretrain_tools import LogitAdjustHook  # noqa: E402
from mmengine.registry import init_default_scope  # noqa: E402
from mmengine.runner import Runner, find_latest_checkpoint, load_checkpoint  # noqa: E402
from mmpretrain.models.classifiers.image import ImageClassifier as StackClassifier  # noqa: E402
from mmpretrain.models.heads.linear_head import LinearClsHead as StackHead  # noqa: E402
from mmpretrain.registry import MODELS  # noqa: E402

FOLDERS = {"a": 5, "b": 2, "c": 3}          # images per folder
CATEGORY_MAP = {"a": "x", "b": "x", "c": "y"}  # classes x, x, y: labels 0 and 2, position 1 unused


@pytest.fixture(scope="module")
def tiny_dataset(tmp_path_factory):
    root = tmp_path_factory.mktemp("tiny")
    rng = np.random.default_rng(0)
    for folder, count in FOLDERS.items():
        (root / folder).mkdir()
        for i in range(count):
            pixels = rng.integers(0, 256, (8, 8), dtype=np.uint8)
            Image.fromarray(pixels).save(root / folder / f"{i}.png")
    return root


def model_cfg(num_classes=3):
    return dict(
        type="ImageClassifier",
        data_preprocessor=dict(type="ClsDataPreprocessor", num_classes=num_classes,
                               mean=[127.5], std=[127.5], to_rgb=False),
        backbone=dict(type="LeNet5"),
        neck=dict(type="GlobalAveragePooling"),
        head=dict(type="LinearClsHead", num_classes=num_classes, in_channels=120,
                  loss=dict(type="CrossEntropyLoss")),
    )


def loader_cfg(root):
    return dict(batch_size=4, num_workers=0, sampler=dict(type="DefaultSampler", shuffle=False),
                dataset=dict(type="NeuDataset", data_root=str(root), category_map=CATEGORY_MAP,
                             init_pipeline=[],
                             pipeline=[dict(type="LoadImageFromFile", color_type="grayscale"),
                                       dict(type="Resize", scale=(32, 32)), dict(type="PackInputs")]))


def runner_cfg(root, work_dir, name, hooks, training):
    cfg = dict(model=model_cfg(), work_dir=str(work_dir), experiment_name=name, default_scope="mmpretrain",
               custom_hooks=hooks, default_hooks=dict(logger=dict(type="LoggerHook", interval=1)),
               randomness=dict(seed=0), log_level="WARNING")
    if training:
        cfg.update(train_dataloader=loader_cfg(root), val_dataloader=loader_cfg(root),
                   val_evaluator=dict(type="Accuracy", topk=(1,)), val_cfg=dict(),
                   train_cfg=dict(by_epoch=True, max_epochs=1, val_interval=1),
                   optim_wrapper=dict(optimizer=dict(type="SGD", lr=0.01)))
    else:
        cfg.update(test_dataloader=loader_cfg(root), test_evaluator=dict(type="Accuracy", topk=(1,)),
                   test_cfg=dict(), load_from=str(find_latest_checkpoint(str(work_dir))))
    return cfg


@pytest.mark.parametrize("with_hook", [False, True], ids=["no-hook", "LogitAdjustHook"])
def test_train_validate_save_reload_and_test(tiny_dataset, tmp_path, capsys, with_hook):
    hooks = [dict(type="LogitAdjustHook", tau=0.5)] if with_hook else []
    trained = Runner(**runner_cfg(tiny_dataset, tmp_path, f"train-{with_hook}", hooks, training=True))
    trained.train()
    trained_state = {k: v.clone() for k, v in trained.model.state_dict().items()}

    tested = Runner(**runner_cfg(tiny_dataset, tmp_path, f"test-{with_hook}", hooks, training=False))
    metrics = tested.test()  # the checkpoint loads under weights_only: pretrain_tools allowed its globals
    assert 0 <= metrics["accuracy/top1"] <= 100
    assert tested.model.state_dict().keys() == trained_state.keys()
    for key, value in tested.model.state_dict().items():
        assert torch.equal(value, trained_state[key]), key

    bias = trained_state["head.bias"]
    if with_hook:
        total = sum(FOLDERS.values())
        x, y = (FOLDERS["a"] + FOLDERS["b"]) / total, FOLDERS["c"] / total
        # the unused position of the folded class list stays unadjusted (0), not -inf
        assert torch.allclose(bias, 0.5 * torch.tensor([math.log(x), 0.0, math.log(y)]))
    else:
        assert torch.equal(bias, torch.zeros(3))


def test_hook_refuses_labels_beyond_the_head(tiny_dataset, tmp_path):
    cfg = runner_cfg(tiny_dataset, tmp_path, "too-few", [dict(type="LogitAdjustHook")], training=True)
    cfg["model"] = model_cfg(num_classes=2)
    with pytest.raises(ValueError, match="label 2 does not fit a head with 2 classes"):
        Runner(**cfg).train()


@pytest.fixture
def batch():
    torch.manual_seed(1)
    return torch.randn(3, 1, 32, 32)


def build(cfg):
    init_default_scope("mmpretrain")
    torch.manual_seed(0)
    return MODELS.build(cfg).eval()


def test_bias_is_a_persistent_zero_buffer_that_follows_the_model():
    model = build(model_cfg(num_classes=4))
    assert torch.equal(model.state_dict()["head.bias"], torch.zeros(4))
    assert "bias" in dict(model.head.named_buffers())
    model.to(torch.float64)
    assert model.head.bias.dtype == torch.float64
    assert model.head.fc.weight.dtype == torch.float64


@pytest.mark.parametrize("head_type", ["LinearClsHead", StackHead], ids=["package-head", "stack-head"])
def test_fresh_model_predicts_like_the_stack(batch, head_type):
    cfg = model_cfg(num_classes=4)
    cfg["head"]["type"] = head_type
    model = build(cfg)
    assert type(model) is pretrain.image.ImageClassifier
    ours = model.predict(batch)
    theirs = StackClassifier.predict(model, batch)
    for a, b in zip(ours, theirs):
        assert torch.equal(a.pred_label, b.pred_label)
        assert torch.allclose(a.pred_score, b.pred_score)


def test_checkpoint_without_bias_loads_non_strict(tmp_path, batch):
    init_default_scope("mmpretrain")
    torch.manual_seed(0)
    cfg = model_cfg(num_classes=4)
    cfg["head"]["type"] = StackHead
    stock = StackClassifier(**{k: v for k, v in cfg.items() if k != "type"}).eval()
    assert "head.bias" not in stock.state_dict()
    torch.save({"state_dict": stock.state_dict()}, tmp_path / "stock.pth")

    torch.manual_seed(1)
    model = build(model_cfg(num_classes=4))
    load_checkpoint(model, str(tmp_path / "stock.pth"))
    assert torch.equal(model.head.fc.weight, stock.head.fc.weight)
    assert torch.equal(model.head.bias, torch.zeros(4))
    ours, theirs = model.predict(batch), stock.predict(batch)
    assert all(torch.allclose(a.pred_score, b.pred_score) for a, b in zip(ours, theirs))


def test_analysis_script_writes_report_and_json(tiny_dataset, tmp_path):
    report, summary_file = tmp_path / "report.png", tmp_path / "summary.json"
    proc = run_python(None, args=["-m", "pretrain_check", str(tiny_dataset),
                                  "--report", str(report), "--json", str(summary_file), "--samples", "5"])
    assert report.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    summary = json.loads(summary_file.read_text())
    assert summary["classes"] == FOLDERS
    assert summary["imbalance_ratio"] == 2.5
    assert summary["sizes"] == [{"size": [8, 8], "count": 10}]
    assert len(summary["samples"]["files"]) == 5
    assert all(s["path"].startswith(str(tiny_dataset)) for s in summary["samples"]["files"])
    assert "imbalance ratio 2.50" in proc.stdout and "directory order" in proc.stdout
