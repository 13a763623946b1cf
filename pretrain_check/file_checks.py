"""What Pillow makes of each file, and each file's digest; run in worker
processes over chunks of paths (workers.py)."""
import hashlib
import os
import stat

from PIL import Image

from .workers import WORKER_DIED

SPECIAL = {stat.S_IFIFO: "a FIFO", stat.S_IFCHR: "a character device", stat.S_IFBLK: "a block device",
           stat.S_IFSOCK: "a socket"}


def message(error):
    return f"{type(error).__name__}: {error}"


def special_kind(path):
    """What path is when it is neither a regular file nor a folder: opening a
    FIFO or a device named like an image would block or read for ever. None
    otherwise, and when it cannot be examined (the opening says why)."""
    try:
        kind = stat.S_IFMT(os.stat(path).st_mode)
    except OSError:
        return None
    return None if kind in (stat.S_IFREG, stat.S_IFDIR) else SPECIAL.get(kind, "a special file")


def refusal(kind):
    return OSError(f"not a regular file but {kind}; left unopened")


def refuse_special(path):
    kind = special_kind(path)
    if kind:
        raise refusal(kind)


def special_files(paths):
    """(position, message) of each of paths that is a FIFO, device or socket."""
    return [(position, message(refusal(kind))) for position, kind in enumerate(map(special_kind, paths)) if kind]


def open_and_decode(paths):
    """(position, kind, message) for each file of paths that Image.open
    rejects ("unreadable") or whose pixel data does not load ("undecodable")."""
    found = []
    for position, path in enumerate(paths):
        try:
            refuse_special(path)
            image = Image.open(path)
        except Exception as error:
            found.append((position, "unreadable", message(error)))
            continue
        with image:
            try:
                image.load()
            except Exception as error:
                found.append((position, "undecodable", message(error)))
    return found


def undecoded(chunk):
    """What open_and_decode reports for a chunk whose worker died."""
    return [(position, "unreadable", WORKER_DIED) for position in range(len(chunk))]


def digest(path, block=1 << 20):
    hashed = hashlib.blake2b(digest_size=16)
    with open(path, "rb", buffering=0) as file:
        while data := file.read(block):
            hashed.update(data)
    return hashed.digest()


def digests(paths):
    """The digest of each file's bytes; None for a file that cannot be read."""
    found = []
    for path in paths:
        try:
            found.append(digest(path))
        except OSError:
            found.append(None)
    return found


def unread(chunk):
    """The digests of a chunk whose worker died: none."""
    return [None] * len(chunk)
