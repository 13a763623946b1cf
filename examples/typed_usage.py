"""Every public callable of the package once, with full type annotations: a
short tour that `mypy --strict` checks against the package's stubs.

    PYTHONPATH=support python examples/typed_usage.py [DATASET_DIR]

DATASET_DIR holds one folder per class (default: this checkout's data/digits).
"""
import asyncio
import sys
from pathlib import Path
from typing import Any

import torch

from pretrain import analyzing_tools, datasets
from pretrain.analyzing_tools import ClsAnalyzingTool
from pretrain.cls_head import LinearClsHead
from pretrain.datasets import NeuDataset, RepeatData, SplitData
from pretrain.image import DataSample, ImageClassifier

DEFAULT_DATASET = Path(__file__).resolve().parent.parent / "data" / "digits"


async def show_progress(fraction: float) -> None:
    if fraction == 0.0 or fraction == 1.0:
        print(f"progress {fraction:.0%}")


async def analyse(root: Path) -> list[Path]:
    tool = ClsAnalyzingTool(root)
    paths = await tool.get_path_list()
    await tool.get_data_list(show_progress)
    counts = await tool.get_category_distribution(show_progress)
    formats = await tool.get_image_format_distribution()
    sizes = await tool.get_image_size_distribution()
    print(f"{len(paths)} images, {len(counts)} classes, formats {dict(formats)}, sizes {dict(sizes)}")
    return await tool.get_random_images(n=4, category_balance=False)


def split_and_repeat(samples: list[Path]) -> int:
    results: dict[str, Any] = {"data_list": [{"img_path": p, "gt_label": 0} for p in samples]}
    results = SplitData(start=0.0, end=0.5, random=True, seed=7).transform(results)
    results = RepeatData(times=3).transform(results)
    return len(results["data_list"])


def build_dataset(root: Path) -> NeuDataset:
    classes = sorted(folder.name for folder in root.iterdir() if folder.is_dir())
    dataset = NeuDataset(
        init_pipeline=[dict(type="SplitData", start=0.0, end=0.8)],
        category_map={name: name for name in classes},
        data_root=str(root),
        pipeline=[],
    )
    reloaded = asyncio.run(dataset.load_data_list2())
    assert len(dataset.load_data_list()) == len(reloaded)
    dataset.filter_data()  # the init pipeline again, over what the dataset still holds
    print(f"dataset: {len(dataset)} of {len(reloaded)} images kept")
    return dataset


def classify(num_classes: int) -> None:
    head = LinearClsHead(num_classes=num_classes, in_channels=16)
    head.bias = 0.0
    scores: torch.Tensor = head.forward((torch.rand(2, 16),))
    model = ImageClassifier(
        backbone=dict(type="ResNet_CIFAR", depth=18, in_channels=3),
        neck=dict(type="GlobalAveragePooling"),
        head=dict(type="LinearClsHead", num_classes=num_classes, in_channels=512,
                  loss=dict(type="CrossEntropyLoss")),
    )
    model.head.bias = torch.zeros(num_classes)
    inputs = torch.rand(2, 3, 32, 32)
    losses = model.loss(inputs, [DataSample().set_gt_label(0), DataSample().set_gt_label(1)])
    predictions = model.predict(inputs)
    print(f"head scores {tuple(scores.shape)}, loss {losses['loss'].item():.3f}, "
          f"{len(predictions)} predictions")


def main() -> None:
    root = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_DATASET
    samples = asyncio.run(analyse(root))
    print(f"split and repeated: {split_and_repeat(samples)} entries")
    dataset = build_dataset(root)
    classify(len(dataset.CLASSES))
    # The modules' own demonstrations, on the bundled sample dataset.
    asyncio.run(analyzing_tools.main())
    datasets.main()


if __name__ == "__main__":
    main()
