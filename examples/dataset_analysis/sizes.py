"""Image sizes through the analysis tool's own size scan, past the files that
Image.open rejects: the scan stops at such a file, so the files before it are
scanned again on their own and the scan goes on after it."""
from collections import Counter

from .file_checks import message

CHUNK = 4096  # bounds what one rejected file costs to scan again


class Position:
    """The tool's progress callback: counts the files of one call that are
    done, so a failure names its file, and moves the progress bar."""

    def __init__(self, length, progress):
        self.length, self.done, self.progress = length, 0, progress

    async def __call__(self, fraction):
        done = round(fraction * self.length) + 1  # the tool reports i / length after file i
        self.progress.advance(done - self.done)
        self.done = done


async def scan(tool, paths, callback=None):
    tool.path_list = paths  # the tool scans what path_list holds
    return await tool.get_image_size_distribution(callback)


async def readable_sizes(tool, paths, progress):
    """(sizes, readable, unreadable): the size Counter of the files of paths
    that Image.open accepts, those files in order, and (path, message) for
    each file it rejects."""
    sizes, readable, unreadable = Counter(), [], []
    for start in range(0, len(paths), CHUNK):
        rest = paths[start:start + CHUNK]
        while rest:
            position = Position(len(rest), progress)
            try:
                sizes.update(await scan(tool, rest, position))
            except Exception as error:
                failed = position.done
                if failed:
                    sizes.update(await scan(tool, rest[:failed]))
                    readable.extend(rest[:failed])
                unreadable.append((rest[failed], message(error)))
                progress.advance(1)
                rest = rest[failed + 1:]
            else:
                readable.extend(rest)
                rest = []
    return sizes, readable, unreadable
