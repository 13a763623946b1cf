"""The summary of a run: one JSON document (summary.schema.json), the single
source of the text output, the reports and the exit status. Every kind of
kinds/ is in "problems", in their order, whatever the mode and flags; those
whose stage did not run are marked "ran": false."""
import importlib.metadata
import json
from pathlib import Path

from .kinds import all_kinds

SCHEMA_VERSION = 1
SCHEMA_FILE = Path(__file__).with_name("summary.schema.json")

SAMPLES_HOW = "random draws: a class at random, then a file of it, for each sample (repeats possible)"
SCAN_ORDER_NOTE = ("files are listed in the file system's directory order, so a seeded split "
                   "of this dataset is reproducible on this file system but may differ on another")


def version():
    try:
        return importlib.metadata.version("pretrain")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def problems(facts):
    found = {}
    for kind in all_kinds():
        entry = {"label": kind.label, "ran": kind.runs_on(facts)}
        result = kind.judge(facts) if entry["ran"] else None
        items = result.items if result else []
        entry["count"] = len(items)
        entry[kind.items_key] = items
        if result:
            entry.update(result.extra)
        found[kind.name] = entry
    return found


def imbalance(classes):
    return max(classes.values()) / min(classes.values()) if classes else None


def size_list(sizes):
    """The tool's size Counter ("(w, h)" -> count) as [{"size": [w, h], "count"}], most common first."""
    return [{"size": [int(n) for n in key.strip("()").split(",")], "count": count}
            for key, count in sizes.most_common()]


def summarise(facts, overview, dataset=None, config=None, parts=None):
    classes = overview["classes"]
    summary = {
        "schema_version": SCHEMA_VERSION,
        "tool": "pretrain-check",
        "version": version(),
        "mode": facts.mode,
        "dataset": None if dataset is None else str(dataset),
        "config": None if config is None else str(config),
        "images": sum(classes.values()),
        "classes": classes,
        "imbalance_ratio": imbalance(classes),
        "formats": overview["formats"],
        "sizes": size_list(overview["sizes"]),
        "samples": {"how": SAMPLES_HOW, "files": overview["samples"]},
        "parts": parts,
        "problems": problems(facts),
        "note": SCAN_ORDER_NOTE,
    }
    summary["exit_status"] = 1 if found_any(summary) else 0
    return summary


def found_any(summary):
    return any(p["count"] for p in summary["problems"].values())


def write_json(summary, target):
    Path(target).write_text(json.dumps(summary, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
