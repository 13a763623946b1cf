"""What the tool's scan leaves out or counts in a way users may not expect
(left_out.py walks the tree for them)."""
from functools import partial

from . import Found, Kind

LEFT_OUT = (
    ("suffix_case", "suffix differs from an accepted one only by case (left out)", 30),
    ("suffix_not_accepted", "image suffix the scanner does not accept (left out)", 31),
    ("hidden", "hidden files and folders (left out, with all below them)", 32),
    ("empty_class_folders", "class folders without an accepted file", 33),
    ("root_files", "files directly in the root (each becomes a class of its own)", 34),
    ("unlistable_folders", "folders that cannot be listed (left out, with all below them)", 950),
)


def listed(name, facts):
    return Found([{"path": path} for path in facts.left_out.get(name, [])])


KINDS = tuple(Kind(name, label, order, "walk", partial(listed, name), lambda item: item["path"],
                   pictures=False)
              for name, label, order in LEFT_OUT)
