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


def new_digest():
    return hashlib.blake2b(digest_size=16)


def digests(paths):
    """The digest of each file's bytes; None for a file that cannot be read."""
    found = []
    for path in paths:
        try:
            with open(path, "rb") as file:
                found.append(hashlib.file_digest(file, new_digest).digest())
        except OSError:
            found.append(None)
    return found
