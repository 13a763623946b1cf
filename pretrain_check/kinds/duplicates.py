"""Exact duplicates (the same bytes) and near duplicates (the same picture
after resizing, recompression or a small crop) among the dataset's files;
groups that span classes are label noise and come first."""
from ..near_duplicates import CONFIRM_DISTANCE, DISTANCE, SAME
from . import Found, Kind


def by_noise(groups):
    groups.sort(key=lambda g: (not g["label_noise"], -len(g["files"]), g["files"][0]))
    return Found(groups, {"files_in_groups": sum(len(g["files"]) for g in groups),
                          "across_classes": sum(g["label_noise"] for g in groups)})


def with_classes(files, facts, **fields):
    classes = sorted({facts.class_of[f] for f in files})
    return {"files": files, "classes": classes, "label_noise": len(classes) > 1, **fields}


def exact(facts):
    return by_noise([with_classes(files, facts, bytes=length) for length, files in facts.same_bytes])


def near(facts):
    """A group whose files all have the same bytes is left to the exact
    duplicates."""
    same = {path: n for n, (_, files) in enumerate(facts.same_bytes) for path in files}
    groups = []
    for files, distance in facts.alike:
        if len({same.get(f, f) for f in files}) > 1:
            groups.append(with_classes(files, facts, distance=distance))
    return by_noise(groups)


def group_line(group):
    noise = " (label noise)" if group["label_noise"] else ""
    return f"{', '.join(group['classes'])}{noise}: {', '.join(group['files'])}"


KINDS = (
    Kind("duplicates", "groups of exact duplicates (same bytes)", 40, "bytes", exact, group_line, groups=True,
         thumbnail="duplicate", modes=("folder",)),
    Kind("near_duplicates",
         f"groups of near duplicates (perceptual hashes within {DISTANCE} and {CONFIRM_DISTANCE} of 64 bits, "
         f"pixels alike at {SAME})",
         50, "measures", near, group_line, groups=True, thumbnail="near duplicate", modes=("folder",)),
)
