"""Image sizes through the analysis tool's own size scan, in worker processes
(workers.py), past the files that Image.open rejects: the scan stops at such
a file with Image.open's error and is started again after it; the files
before it are scanned again, all together at the end. The byte size of each
file comes along on request (for the duplicate search).

The file the scan stopped at is the one the Image.open frame in the error's
traceback was opening. Where no such frame names a file of the list, the
scan is run again with a progress callback that counts the files done (a
callback makes the tool check Pillow again before every file, so that way is
kept for this case)."""
import functools
import os
from collections import Counter

from PIL import Image

from pretrain.analyzing_tools import ClsAnalyzingTool

from .coroutines import drive
from .file_checks import message, special_files
from .workers import WORKER_DIED

# Files per worker task: the tool reads headers ahead through its list, so a
# scan started again after a rejected file reads the rest again; small tasks
# bound that, large ones spread the cost of starting a scan.
CHUNK = 256


class Position:
    """The tool's progress callback: counts the files of one call that are
    done, so that a failure names its file."""

    def __init__(self, length):
        self.length, self.done = length, 0

    async def __call__(self, fraction):
        self.done = round(fraction * self.length) + 1  # the tool reports i / length after file i


def scan(tool, paths, callback=None):
    tool.path_list = paths  # the tool scans what path_list holds
    return drive(tool.get_image_size_distribution(callback))


def byte_size(name):
    try:
        return os.stat(name).st_size
    except OSError:
        return None


def opened_name(error):
    """The file name the innermost Image.open of error's traceback was given."""
    name, frames = None, error.__traceback__
    while frames:
        if frames.tb_frame.f_code is Image.open.__code__:
            name = frames.tb_frame.f_locals.get("filename")
        frames = frames.tb_next
    return name if isinstance(name, str) and name else None


def position_of(name, names, start):
    try:
        return names.index(name, start) - start if name else None
    except ValueError:
        return None


def counted_failure(tool, paths, first_error):
    """(position, error) of the file the scan of paths stops at, found with
    a callback that counts the files done."""
    position = Position(len(paths))
    try:
        scan(tool, paths, position)
    except Exception as error:
        return position.done, error
    raise first_error  # the scan went through the second time: nothing to tell apart


def sizes_of(names, with_bytes=False):
    """(sizes, rejected, bytes) for the files named by names: the size
    Counter of those Image.open accepts, (position, message) for each it
    rejects or that is a FIFO or device (never opened), and each file's byte
    size (None when it cannot be read; None for the list without
    `with_bytes`)."""
    special = dict(special_files(names))
    if not special:
        return scanned_sizes(names, with_bytes)
    kept = [i for i in range(len(names)) if i not in special]
    sizes, rejected, kept_lengths = scanned_sizes([names[i] for i in kept], with_bytes)
    rejected = sorted([(kept[position], text) for position, text in rejected] + list(special.items()))
    lengths = None
    if with_bytes:
        lengths = [None] * len(names)
        for position, length in zip(kept, kept_lengths):
            lengths[position] = length
    return sizes, rejected, lengths


def scanned_sizes(names, with_bytes):
    tool = ClsAnalyzingTool(".")  # the size scan reads nothing but path_list
    sizes, rejected, before_failures = Counter(), [], []
    at, rest = 0, list(names)  # text paths: the scan reads them without making path objects
    while rest:
        try:
            sizes.update(scan(tool, rest))
            break
        except Exception as error:
            failed = position_of(opened_name(error), names, at)
            if failed is None:
                failed, error = counted_failure(tool, rest, error)
            before_failures.extend(rest[:failed])
            rejected.append((at + failed, message(error)))
            at, rest = at + failed + 1, rest[failed + 1:]
    if before_failures:
        sizes.update(scan(tool, before_failures))
    return sizes, rejected, [byte_size(name) for name in names] if with_bytes else None


def lost_sizes(chunk, with_bytes):
    return Counter(), [(position, WORKER_DIED) for position in range(len(chunk))], \
        [None] * len(chunk) if with_bytes else None


def readable_sizes(paths, workers, progress, with_bytes=False):
    """(sizes, readable, unreadable, bytes): the size Counter of the files of
    paths that Image.open accepts, those files in order, (path, message) for
    each file it rejects, and with `with_bytes` the byte size of each
    readable file (else None)."""
    sizes, rejected, lengths = Counter(), {}, [] if with_bytes else None
    names = [str(p) for p in paths]
    scan_chunk = functools.partial(sizes_of, with_bytes=with_bytes)
    lost = functools.partial(lost_sizes, with_bytes=with_bytes)
    for start, (found, failed, chunk_lengths) in workers.map_chunks(scan_chunk, names, progress, CHUNK, lost):
        sizes.update(found)
        rejected.update((start + position, text) for position, text in failed)
        if with_bytes:
            lengths.extend(chunk_lengths)
    keep = [i not in rejected for i in range(len(paths))] if rejected else None
    readable = [p for p, k in zip(paths, keep) if k] if keep else list(paths)
    if with_bytes and keep:
        lengths = [n for n, k in zip(lengths, keep) if k]
    return sizes, readable, [(paths[i], text) for i, text in sorted(rejected.items())], lengths
