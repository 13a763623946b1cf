"""What Pillow makes of each file, and each file's digest; run in worker
processes over chunks of paths (workers.py)."""
import hashlib

from PIL import Image


def message(error):
    return f"{type(error).__name__}: {error}"


def open_and_decode(paths):
    """(position, kind, message) for each file of paths that Image.open
    rejects ("unreadable") or whose pixel data does not load ("undecodable")."""
    found = []
    for position, path in enumerate(paths):
        try:
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
