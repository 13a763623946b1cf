"""One walk of the dataset tree, hidden entries included, for what the
analysis tool's scan leaves out or counts in a way users may not expect.

The tool keeps an entry when its suffix is one of `img_ext` by exact,
case-sensitive match, skips every name that begins with a dot (and all below
it), makes a class of each top-level folder and of each file directly in the
root."""
import os

# Suffixes of image files in common use; any of them that img_ext lacks is
# reported (in any case).
COMMON_IMAGE_SUFFIXES = (".jpg", ".jpeg", ".jpe", ".jfif", ".png", ".bmp", ".dib", ".gif", ".tif",
                         ".tiff", ".webp", ".heic", ".heif", ".avif", ".jxl", ".jp2", ".j2k", ".ico",
                         ".ppm", ".pgm", ".pbm", ".pnm", ".tga", ".dds", ".psd", ".pcx", ".qoi")
FOUND = ("suffix_case", "suffix_not_accepted", "hidden", "empty_class_folders", "root_files",
         "unlistable_folders")


def suffix(name):
    """pathlib's PurePath(name).suffix, without building a path."""
    dot = name.rfind(".")
    return name[dot:] if 0 < dot < len(name) - 1 else ""


def is_folder_entry(entry):
    try:
        return entry.is_dir()
    except OSError:  # a link that loops or cannot be followed: left to the file checks
        return False


def walk(root, accepted, progress):
    """A dict kind -> [path, ...] for each kind of FOUND. Moves progress by the accepted
    entries of each folder."""
    accepted = set(accepted)
    lowered = {s.lower() for s in accepted}
    other_images = {s for s in COMMON_IMAGE_SUFFIXES if s not in lowered}
    found = {kind: [] for kind in FOUND}
    top_folders, filled, seen_folders = [], set(), set()
    pending = [(str(root), None)]  # (folder, its top-level folder; None for the root)
    while pending:
        folder, top = pending.pop()
        try:
            entries = list(os.scandir(folder))
        except OSError:
            found["unlistable_folders"].append(folder)  # the tool's scan skips it too
            continue
        kept = 0
        for entry in entries:
            name = entry.name
            if name[0] == ".":
                found["hidden"].append(entry.path)
                continue
            is_folder = is_folder_entry(entry)
            ending = suffix(name)
            if ending in accepted:
                kept += 1
                if is_folder:
                    filled.add(top or entry.path)
                elif top is None:
                    found["root_files"].append(entry.path)
            elif not is_folder and ending:
                ending = ending.lower()
                if ending in lowered:
                    found["suffix_case"].append(entry.path)
                elif ending in other_images:
                    found["suffix_not_accepted"].append(entry.path)
            if is_folder:
                key = os.path.realpath(entry.path)
                if key not in seen_folders:  # else a link back up the tree
                    seen_folders.add(key)
                    if top is None:
                        top_folders.append(entry.path)
                    pending.append((entry.path, top or entry.path))
        if kept:
            filled.add(top)
            progress.advance(kept)
    for folder in top_folders:
        if folder not in filled:
            found["empty_class_folders"].append(folder)
    progress.finish()
    return found
