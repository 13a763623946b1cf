"""Analyse a class-per-folder image dataset with the package's ClsAnalyzingTool.

Prints the classes and their image counts, the imbalance ratio, the file
formats and image sizes, and a few balanced random samples; `--report` also
draws them on one page (PNG), `--json` writes the summary as JSON.

    PYTHONPATH=support python examples/analyse_dataset.py DIR [--report FILE.png] [--json FILE]
"""
import argparse
import asyncio
import json
import random
import sys
from pathlib import Path

from mmengine.utils import ProgressBar

from pretrain.analyzing_tools import ClsAnalyzingTool

SCAN_ORDER_NOTE = ("files are listed in the file system's directory order, so a seeded split "
                   "of this dataset is reproducible on this file system but may differ on another")


class ThrottledProgress:
    """A progress callback for the tool's methods. The tool calls it once per
    file; it moves mmengine's progress bar only every `total / steps` files."""

    def __init__(self, total, steps=50):
        self.total, self.shown = total, 0
        self.stride = max(1, total // steps)
        self.bar = ProgressBar(total)

    async def __call__(self, fraction):
        done = round(fraction * self.total) + 1  # the tool reports i / total after file i
        if done - self.shown >= self.stride or done == self.total:
            self.bar.update(done - self.shown)
            self.shown = done
            if done == self.total:
                sys.stdout.write("\n")


async def analyse(root, samples):
    tool = ClsAnalyzingTool(str(root))
    total = len(await tool.get_path_list())
    progress = (lambda: ThrottledProgress(total)) if total else (lambda: None)
    print("grouping files by class")
    counts = await tool.get_category_distribution(progress())
    formats = await tool.get_image_format_distribution()
    print("reading image sizes")
    sizes = await tool.get_image_size_distribution(progress())
    picks = await tool.get_random_images(n=samples) if total else []
    by_class = {c: counts[c] for c in tool.classes}
    return {
        "dataset": str(root),
        "images": total,
        "classes": by_class,
        "imbalance_ratio": max(by_class.values()) / min(by_class.values()) if by_class else None,
        "formats": dict(formats.most_common()),
        "sizes": dict(sizes.most_common()),
        "samples": [{"class": p.relative_to(root).parts[0], "path": str(p)} for p in picks],
        "note": SCAN_ORDER_NOTE,
    }


def print_summary(summary):
    classes = summary["classes"]
    print(f"dataset {summary['dataset']}: {summary['images']} images in {len(classes)} classes")
    if classes:
        largest, smallest = max(classes, key=classes.get), min(classes, key=classes.get)
        print(f"imbalance ratio {summary['imbalance_ratio']:.2f} (largest class {largest!r}: "
              f"{classes[largest]}, smallest {smallest!r}: {classes[smallest]})")
    width = max([len("class")] + [len(c) for c in classes])
    print(f"  {'class':<{width}}  images")
    for name, count in classes.items():
        print(f"  {name:<{width}}  {count}")
    print("formats: " + ", ".join(f"{k} {v}" for k, v in summary["formats"].items()))
    print("sizes (width, height): " + ", ".join(f"{k} {v}" for k, v in list(summary["sizes"].items())[:10])
          + (" ..." if len(summary["sizes"]) > 10 else ""))
    print("balanced random samples:")
    for sample in summary["samples"]:
        print(f"  {sample['class']}: {sample['path']}")
    print(f"note: {summary['note']}")


def draw_report(summary, target, columns=8):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from PIL import Image

    samples = summary["samples"]
    rows = max(1, -(-len(samples) // columns))
    figure = plt.figure(figsize=(11, 8.5), layout="constrained")
    grid = figure.add_gridspec(1 + rows, 3, height_ratios=[2.2] + [1] * rows)
    figure.suptitle(f"{summary['dataset']}: {summary['images']} images, {len(summary['classes'])} classes")

    counts = figure.add_subplot(grid[0, :2])
    names = list(summary["classes"])
    counts.bar(range(len(names)), [summary["classes"][n] for n in names], color="tab:blue")
    ratio = summary["imbalance_ratio"]
    counts.set_title("images per class" + (f" (imbalance ratio {ratio:.2f})" if ratio else ""))
    if len(names) <= 40:
        counts.set_xticks(range(len(names)), names, rotation=90 if len(names) > 15 else 0)
    counts.set_xlabel("class")
    counts.set_ylabel("images")

    sizes = figure.add_subplot(grid[0, 2])
    shown = list(summary["sizes"].items())[:12]
    bars = sizes.barh(range(len(shown)), [v for _, v in shown], height=0.6, color="tab:orange")
    sizes.bar_label(bars, padding=2, fontsize=8)
    sizes.set_yticks(range(len(shown)), [k for k, _ in shown])
    sizes.set_ylim(max(len(shown), 6) - 0.5, -0.5)  # most common on top; a few bars stay thin
    sizes.margins(x=0.15)
    sizes.set_title("image sizes (width, height)")
    sizes.set_xlabel("images")

    sample_grid = grid[1:, :].subgridspec(rows, columns)
    for i, sample in enumerate(samples):
        axis = figure.add_subplot(sample_grid[i // columns, i % columns])
        with Image.open(sample["path"]) as image:
            pixels = image.convert("RGB") if image.mode not in ("L", "RGB") else image.copy()
        axis.imshow(pixels, cmap="gray" if pixels.mode == "L" else None, interpolation="nearest")
        axis.set_title(sample["class"], fontsize=9)
        axis.axis("off")
    figure.savefig(target, dpi=100)
    plt.close(figure)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dataset", type=Path, help="directory with one sub-directory per class")
    parser.add_argument("--report", type=Path, help="write a one-page PNG report here")
    parser.add_argument("--json", type=Path, help="write the summary as JSON here")
    parser.add_argument("--samples", type=int, default=24, help="balanced random samples to show")
    parser.add_argument("--seed", type=int, default=0, help="seed of the random samples")
    args = parser.parse_args(argv)

    random.seed(args.seed)  # the tool draws from the shared generator
    summary = asyncio.run(analyse(args.dataset, args.samples))
    print_summary(summary)
    if args.json:
        args.json.write_text(json.dumps(summary, indent=2, ensure_ascii=False))
        print(f"summary written to {args.json}")
    if args.report:
        draw_report(summary, args.report)
        print(f"report written to {args.report}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
