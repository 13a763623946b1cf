"""The one-page PNG report of `--config`: images per class in each part, and
thumbnails of the worst items found (the groups that leak between parts)."""
from .report import draw_counts, draw_thumbnail, pyplot
from .report_worst import worst_images


def draw_config_report(summary, target, columns=8):
    plt = pyplot()
    parts = {part: found for part, found in summary["parts"].items() if not found["same_as"]}
    leaks = worst_images(summary["problems"], columns)
    figure = plt.figure(figsize=(14, 4 + 1.8 * bool(leaks)), layout="constrained")
    grid = figure.add_gridspec(1 + bool(leaks), max(1, len(parts)), height_ratios=[2.2] + [1.2] * bool(leaks))
    found = {p["label"]: p["count"] for p in summary["problems"].values() if p["count"]}
    figure.suptitle(f"{summary['config']}: " + ("; ".join(f"{label}: {n}" for label, n in found.items())
                                                if found else "no problems found"))
    for i, (part, found) in enumerate(parts.items()):
        axis = figure.add_subplot(grid[0, i])
        draw_counts(axis, found)
        axis.set_title(f"{part}: {axis.get_title()}", fontsize=10)
    if leaks:
        row = grid[1, :].subgridspec(1, columns)
        for i, (title, path) in enumerate(leaks):
            draw_thumbnail(figure.add_subplot(row[0, i]), title, path, color="tab:red")
    figure.savefig(target, dpi=100)
    plt.close(figure)
