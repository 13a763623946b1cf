"""The kinds of problem the check reports: one module of this package per
kind (or per family of kinds), each defining `KINDS`, a tuple of `Kind`.
The text output, the JSON summary and the reports list them through
`all_kinds()`, in the order of `Kind.order`, and name none of them."""
import importlib
import pkgutil
from dataclasses import dataclass, field
from typing import Any, Callable

# The stages of a run whose facts the kinds judge (running.py): a kind whose
# stage did not run is reported as not run.
STAGES = ("sizes", "walk", "decode", "bytes", "measures", "parts", "labels")


@dataclass
class Found:
    """What one kind found: its items, the worst first, and fields of the
    kind as a whole (a dataset's median, counts per class...)."""
    items: list = field(default_factory=list)
    extra: dict = field(default_factory=dict)


@dataclass(frozen=True)
class Kind:
    name: str  # its key in the JSON's "problems"
    label: str  # its heading in the text output
    order: int  # its place in every listing
    stage: str  # one of STAGES
    judge: Callable[[Any], Found]  # facts (facts.py) -> Found
    line: Callable[[dict], str]  # the text line of one item
    groups: bool = False  # items are groups {"files": [...], ...}, else files {"path": ...}
    thumbnail: str = ""  # caption of the report's thumbnail of its worst item; "" draws none
    modes: tuple = ("folder", "config")  # the modes that judge it
    pictures: bool = True  # its items are images worth a thumbnail on the HTML page, else rows of a table

    def runs_on(self, facts):
        return self.stage in facts.ran and facts.mode in self.modes

    @property
    def items_key(self):
        return "groups" if self.groups else "files"


def _discover():
    kinds = []
    for module in pkgutil.iter_modules(__path__):
        kinds.extend(importlib.import_module(f"{__name__}.{module.name}").KINDS)
    names = [k.name for k in kinds]
    if len(set(names)) != len(names):
        raise RuntimeError(f"two kinds share a name: {sorted(names)}")
    return tuple(sorted(kinds, key=lambda k: k.order))


_KINDS = None


def all_kinds():
    global _KINDS
    if _KINDS is None:
        _KINDS = _discover()
    return _KINDS


def by_name(name):
    return next(k for k in all_kinds() if k.name == name)


def file_items(found, **fields):
    """Items {"path", "message"} of (path, message) pairs."""
    return [{"path": str(path), "message": message, **fields} for path, message in found]


def path_line(item):
    return f"{item['path']}: {item['message']}" if item.get("message") else item["path"]
