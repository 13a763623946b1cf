"""Exact duplicates (files with the same bytes): only files that share their
byte size with another file are read and hashed."""
from collections import defaultdict

from .file_checks import digests, unread


def same_content(paths, lengths, workers, make_progress=None):
    """Yields (byte size, [path, ...]) for each group of two or more files
    with the same bytes; lengths holds each path's byte size (None: not
    readable)."""
    by_length = defaultdict(list)
    for path, length in zip(paths, lengths):
        if length is not None:
            by_length[length].append(str(path))
    same_size = [(length, group) for length, group in by_length.items() if len(group) > 1]
    del by_length
    candidates = [p for _, group in same_size for p in group]
    progress = make_progress(len(candidates)) if make_progress else None
    found = (d for _, chunk in workers.map_chunks(digests, candidates, progress, lost=unread) for d in chunk)
    for length, group in same_size:  # the digests come in this order; one size at a time is held
        by_content = defaultdict(list)
        for path, digest in zip(group, found):
            if digest is not None:
                by_content[digest].append(path)
        for same in by_content.values():
            if len(same) > 1:
                yield length, same
