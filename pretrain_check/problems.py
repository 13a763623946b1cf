"""The kinds of problem the dataset check reports, in the order they are
shown, with what each means."""
from .image_checks import KINDS as LOOKS
from .left_out import KINDS as LEFT_OUT, UNLISTABLE

LABELS = {
    "unreadable": "files Image.open cannot open",
    "undecodable": "files whose pixel data cannot be loaded",
    **LEFT_OUT,
    "duplicates": "groups of exact duplicates (same bytes)",
    **LOOKS,
    **UNLISTABLE,
}


def ordered(problems):
    return {kind: problems[kind] for kind in LABELS if kind in problems}


def found_any(problems):
    return any(p["count"] for p in problems.values())


def file_list(found):
    """The summary of a kind whose every file is listed with its message."""
    return {"count": len(found), "files": [{"path": str(path), "error": error} for path, error in found]}
