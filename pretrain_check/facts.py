"""What the stages of a run found (running.py), for the kinds to judge
(kinds/). A stage that ran is in `ran`; the fields it fills stay as below
otherwise."""
from dataclasses import dataclass, field


@dataclass
class Facts:
    mode: str  # "folder" or "config"
    root: object = None  # the dataset folder (folder mode)
    ran: set = field(default_factory=set)
    # sizes: the tool's scan and size scan
    readable: list = field(default_factory=list)  # paths Image.open accepts, in scan order
    unreadable: list = field(default_factory=list)  # (path, message)
    class_of: dict = field(default_factory=dict)  # path text -> class name, for the readable files
    # walk: kind name -> [path text, ...] of what the scan leaves out
    left_out: dict = field(default_factory=dict)
    # decode
    undecodable: list = field(default_factory=list)  # (path, message)
    # bytes: (byte size, [path text, ...]) of each group of identical files
    same_bytes: list = field(default_factory=list)
    # measures (image_stats.MEASURES over `names`; `measured` masks those that succeeded)
    names: list = field(default_factory=list)
    measures: object = None
    measured: object = None
    failures: list = field(default_factory=list)  # (path, message)
    alike: list = field(default_factory=list)  # ([path text, ...], hash distance) of each group of near duplicates
    # parts (config mode): part -> [path text, ...], and the leaking groups found between them
    part_paths: dict = field(default_factory=dict)
    leaks: list = field(default_factory=list)
    # labels: whatever the wrong-label search found
    labels: object = None
