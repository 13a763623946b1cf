"""Train and evaluate a small digit classifier with the package's components.

The sample dataset (8x8 greyscale handwritten digits, one folder per class
"0" to "9") is split once with a seeded shuffle: the first 80 % trains, the
last 20 % validates. Both parts are `NeuDataset`s whose init pipeline holds a
`SplitData` step with the same seed, so they never share an image. The model
is the package's `ImageClassifier` with its `LinearClsHead` on a narrow
CIFAR-style ResNet-18; images are resized to 32x32. Before training, a hook
sets the head's `bias` to tau * log(prior) from the training part's class
counts, which the classifier subtracts from the scores when it predicts
(logit adjustment). Everything runs on the CPU through mmengine's `Runner`.

    PYTHONPATH=support python examples/train_digits.py [--epochs N] [--work-dir DIR]
"""
import argparse
import logging
import math
import os
import sys
import time
from pathlib import Path

import torch
from mmengine.hooks import Hook
from mmengine.registry import init_default_scope
from mmengine.runner import Runner

import pretrain.cls_head  # noqa: F401  registers LinearClsHead in MODELS
import pretrain.datasets  # noqa: F401  registers SplitData, RepeatData, NeuDataset
import pretrain.image  # noqa: F401  registers ImageClassifier in MODELS

REPO = Path(__file__).resolve().parent.parent
CLASSES = [str(d) for d in range(10)]


def sample_data_dir():
    return Path(os.environ.get("PRETRAIN_SAMPLE_DATA") or REPO / "data" / "digits")


class LogitAdjustHook(Hook):
    """Sets the head's `bias` to tau * log(class prior of the training part)."""

    priority = "NORMAL"

    def __init__(self, tau=1.0):
        self.tau = tau

    def before_train(self, runner):
        dataset = runner.train_dataloader.dataset
        labels = torch.as_tensor(dataset.get_gt_labels(), dtype=torch.long)
        counts = torch.bincount(labels, minlength=len(dataset.CLASSES)).double()
        prior = counts / counts.sum()
        bias = (self.tau * prior.clamp_min(1e-12).log()).float()
        model = runner.model.module if hasattr(runner.model, "module") else runner.model
        model.head.register_buffer("bias", bias, persistent=False)
        shown = ", ".join(f"{c}:{int(n)}" for c, n in zip(dataset.CLASSES, counts.tolist()))
        runner.logger.info(f"logit adjustment: tau={self.tau}, train counts {shown}")


class LastMetrics(Hook):
    """Keeps the metrics of the latest validation run."""

    priority = "LOWEST"

    def __init__(self):
        self.metrics = {}

    def after_val_epoch(self, runner, metrics=None):
        self.metrics = dict(metrics or {})


def image_paths(dataset):
    return {str(dataset.get_data_info(i)["img_path"]) for i in range(len(dataset))}


def dataset_cfg(data_root, start, end, pipeline):
    return dict(
        type="NeuDataset",
        data_root=str(data_root),
        category_map={c: c for c in CLASSES},
        init_pipeline=[dict(type="SplitData", start=start, end=end, random=True, seed=42)],
        pipeline=pipeline,
    )


def build_config(data_root, work_dir, epochs, batch_size, hooks):
    train_pipeline = [
        dict(type="LoadImageFromFile", color_type="grayscale"),
        dict(type="Resize", scale=(32, 32)),
        dict(type="PackInputs"),
    ]
    val_pipeline = train_pipeline
    loader = dict(batch_size=batch_size, num_workers=0, persistent_workers=False)
    return dict(
        default_scope="mmpretrain",
        work_dir=str(work_dir),
        model=dict(
            type="ImageClassifier",
            data_preprocessor=dict(type="ClsDataPreprocessor", num_classes=10,
                                   mean=[127.5], std=[127.5], to_rgb=False),
            backbone=dict(type="ResNet_CIFAR", depth=18, in_channels=1,
                          stem_channels=16, base_channels=16),
            neck=dict(type="GlobalAveragePooling"),
            head=dict(type="LinearClsHead", num_classes=10, in_channels=128,
                      loss=dict(type="CrossEntropyLoss", loss_weight=1.0), topk=(1,)),
        ),
        train_dataloader=dict(
            **loader,
            dataset=dataset_cfg(data_root, 0.0, 0.8, train_pipeline),
            sampler=dict(type="DefaultSampler", shuffle=True),
        ),
        val_dataloader=dict(
            **loader,
            dataset=dataset_cfg(data_root, 0.8, 1.0, val_pipeline),
            sampler=dict(type="DefaultSampler", shuffle=False),
        ),
        val_evaluator=dict(type="Accuracy", topk=(1,)),
        train_cfg=dict(by_epoch=True, max_epochs=epochs, val_interval=max(1, epochs // 2)),
        val_cfg=dict(),
        optim_wrapper=dict(optimizer=dict(type="SGD", lr=0.1, momentum=0.9, weight_decay=5e-4)),
        param_scheduler=[dict(type="CosineAnnealingLR", by_epoch=True, T_max=epochs, eta_min=1e-3)],
        default_hooks=dict(
            logger=dict(type="LoggerHook", interval=10),
            checkpoint=dict(type="CheckpointHook", interval=epochs, save_last=False),
        ),
        custom_hooks=hooks,
        randomness=dict(seed=0),
        env_cfg=dict(cudnn_benchmark=False, dist_cfg=dict(backend="gloo")),
        log_level="INFO",
    )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=10)
    parser.add_argument("--batch-size", type=int, default=32)
    parser.add_argument("--work-dir", type=Path, default=REPO / "build" / "train_digits")
    args = parser.parse_args(argv)

    # SplitData reports each split on the root logger at level INFO.
    logging.basicConfig(level=logging.INFO, format="%(message)s", stream=sys.stdout)
    torch.set_num_threads(min(2, os.cpu_count() or 1))
    init_default_scope("mmpretrain")

    began = time.perf_counter()
    data_root = sample_data_dir()
    last = LastMetrics()
    hooks = [LogitAdjustHook(tau=1.0), last]
    runner = Runner(**build_config(data_root, args.work_dir, args.epochs, args.batch_size, hooks))
    runner.train()
    elapsed = time.perf_counter() - began

    train_set, val_set = runner.train_dataloader.dataset, runner.val_dataloader.dataset
    shared = image_paths(train_set) & image_paths(val_set)
    print(f"train part {len(train_set)} images, validation part {len(val_set)} images, "
          f"{len(shared)} shared")
    top1 = last.metrics["accuracy/top1"]
    print(f"validation top-1 accuracy: {top1:.2f}% ({args.epochs} epochs, {elapsed:.1f}s)")
    return 0 if math.isfinite(top1) and not shared else 1


if __name__ == "__main__":
    sys.exit(main())
