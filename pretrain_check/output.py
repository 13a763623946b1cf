"""The text summary on standard output, drawn from the summary document: the
dataset (or the config's parts), then every kind that found something, at
most SHOWN items each."""
from .kinds import all_kinds

SHOWN = 20


def print_dataset(summary):
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
    sizes = summary["sizes"]
    print("sizes (width, height): " + ", ".join(f"({s['size'][0]}, {s['size'][1]}) {s['count']}" for s in sizes[:10])
          + (" ..." if len(sizes) > 10 else ""))
    samples = summary["samples"]
    print(f"samples ({samples['how']}):")
    for sample in samples["files"]:
        print(f"  {sample['class']}: {sample['path']}")


def print_parts(summary):
    parts = summary["parts"]
    print(f"config {summary['config']}: parts {', '.join(parts) or 'none'}")
    for part, found in parts.items():
        if found["same_as"]:
            print(f"  {part}: {found['same_as']} and {part} are the same dataset")
            continue
        ratio = found["imbalance_ratio"]
        print(f"  {part}: {found['images']} images in {len(found['classes'])} classes"
              + (f", imbalance ratio {ratio:.2f}" if ratio else ""))
        print("    " + ", ".join(f"{name} {count}" for name, count in found["classes"].items()))


def print_problems(problems):
    if not any(p["count"] for p in problems.values()):
        print("no problems found")
        return
    print("problems:")
    for kind in all_kinds():
        found = problems[kind.name]
        if not found["count"]:
            continue
        print(f"  {kind.label}: {found['count']}")
        items = found[kind.items_key]
        for item in items[:SHOWN]:
            print(f"    {kind.line(item)}")
        if len(items) > SHOWN:
            print(f"    and {len(items) - SHOWN} more")
        for note in found.get("notes", ()):
            print(f"    note: {note}")


def print_summary(summary):
    if summary["mode"] == "config":
        print_parts(summary)
    else:
        print_dataset(summary)
    print_problems(summary["problems"])
    if summary["mode"] == "folder":
        print(f"note: {summary['note']}")
