"""The per-class table that LogitAdjustHook logs after a validation or test run."""
import math


def class_table(class_names, train_counts, part, part_counts, recall, balanced, tau):
    """Lines of text: class, training images, images of the evaluated part,
    recall in percent at `tau`, then the balanced accuracy."""
    part_name = f"{part} images"
    lines = [f"{'class':>10} {'training images':>15} {part_name:>{len(part_name)}} {'recall %':>8}"]
    for name, trained, seen, value in zip(class_names, train_counts, part_counts, recall):
        shown = "-" if math.isnan(value) else f"{value:.2f}"
        trained = "?" if trained is None else trained
        lines.append(f"{name:>10} {trained:>15} {seen:>{len(part_name)}} {shown:>8}")
    lines.append(f"balanced accuracy (mean recall over classes with {part} images) at tau={tau:g}: {balanced:.2f}")
    return lines
