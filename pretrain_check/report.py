"""The one-page PNG report: images per class, image sizes, the problems
found (counts per kind), thumbnails of the worst images the image checks
found, and the balanced random samples."""
from .kinds import all_kinds
from .report_worst import worst_images
from .thumbnails import THUMBNAIL_PIXELS_AT_MOST


def pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def draw_report(summary, target, columns=8):
    plt = pyplot()
    samples = summary["samples"]["files"]
    worst = worst_images(summary["problems"], columns)
    rows = max(1, -(-len(samples) // columns))
    extra = 1 if worst else 0
    figure = plt.figure(figsize=(14, 8.5 + 1.6 * extra), layout="constrained")
    grid = figure.add_gridspec(1 + extra + rows, 4, height_ratios=[2.2] + [1.2] * extra + [1] * rows)
    figure.suptitle(f"{summary['dataset']}: {summary['images']} images, {len(summary['classes'])} classes")
    draw_counts(figure.add_subplot(grid[0, :2]), summary)
    draw_sizes(figure.add_subplot(grid[0, 2]), summary["sizes"])
    draw_problems(figure.add_subplot(grid[0, 3]), summary["problems"])
    if worst:
        worst_grid = grid[1, :].subgridspec(1, columns)
        for i, (title, path) in enumerate(worst):
            draw_thumbnail(figure.add_subplot(worst_grid[0, i]), title, path, color="tab:red")
    sample_grid = grid[1 + extra:, :].subgridspec(rows, columns)
    for i, sample in enumerate(samples):
        draw_thumbnail(figure.add_subplot(sample_grid[i // columns, i % columns]), sample["class"], sample["path"])
    figure.savefig(target, dpi=100)
    plt.close(figure)


def draw_counts(axis, summary):
    names = list(summary["classes"])
    axis.bar(range(len(names)), [summary["classes"][n] for n in names], color="tab:blue")
    ratio = summary["imbalance_ratio"]
    axis.set_title("images per class" + (f" (imbalance ratio {ratio:.2f})" if ratio else ""))
    if len(names) <= 40:
        axis.set_xticks(range(len(names)), names, rotation=90 if len(names) > 15 else 0)
    axis.set_xlabel("class")
    axis.set_ylabel("images")


def draw_bars(axis, labels, values, color):
    bars = axis.barh(range(len(labels)), values, height=0.6, color=color)
    axis.bar_label(bars, padding=2, fontsize=8)
    axis.set_yticks(range(len(labels)), labels, fontsize=8)
    axis.set_ylim(max(len(labels), 6) - 0.5, -0.5)  # first on top; a few bars stay thin
    axis.margins(x=0.15)


def draw_sizes(axis, sizes):
    shown = sizes[:12]
    draw_bars(axis, [f"({s['size'][0]}, {s['size'][1]})" for s in shown], [s["count"] for s in shown], "tab:orange")
    axis.set_title("image sizes (width, height)")
    axis.set_xlabel("images")


def draw_problems(axis, problems):
    kinds = [k.name for k in all_kinds() if problems[k.name]["ran"]]
    counts = [problems[k]["count"] for k in kinds]
    draw_bars(axis, [k.replace("_", " ") for k in kinds], counts,
              ["tab:red" if c else "tab:green" for c in counts])
    axis.set_title("problems found" if any(counts) else "no problems found")
    axis.set_xlabel("files (duplicates: groups)")


def draw_thumbnail(axis, title, path, color="black"):
    from PIL import Image
    axis.set_title(title, fontsize=8, color=color)
    try:
        with Image.open(path) as image:
            if image.size[0] * image.size[1] > THUMBNAIL_PIXELS_AT_MOST:
                raise ValueError("too large to show")
            image.draft("RGB", (160, 160))  # a thumbnail needs no more
            pixels = image.convert("RGB") if image.mode not in ("L", "RGB") else image.copy()
    except Exception:  # pixel data cut short (found by --decode), or too large to decode here
        axis.text(0.5, 0.5, "cannot\nload", ha="center", va="center", transform=axis.transAxes)
    else:
        axis.imshow(pixels, cmap="gray" if pixels.mode == "L" else None, interpolation="nearest")
    axis.axis("off")
