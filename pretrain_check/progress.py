"""Progress of the check's steps, on standard error so that the summary on
standard output stays clean: a bar redrawn in place on a terminal, a few
plain lines (every quarter) when standard error is a file or a pipe, nothing
with --quiet."""
import sys


class Reporter:
    def __init__(self, quiet=False, stream=None):
        self.quiet = quiet
        self.stream = stream if stream is not None else sys.stderr

    def step(self, title, total):
        """A Progress for one step over `total` items."""
        if self.quiet:
            return Progress(total)
        live = hasattr(self.stream, "isatty") and self.stream.isatty()
        return (BarProgress if live else LineProgress)(total, title, self.stream)


class Progress:
    """Counts done items; shows nothing."""

    def __init__(self, total, title="", stream=None):
        self.total, self.done = total, 0
        self.title, self.stream = title, stream
        self.started = False

    def advance(self, count=1):
        if not self.started:
            self.started = True
            self.start()
        before = self.done
        self.done = min(self.total, self.done + count)
        if self.done > before:
            self.moved(before)

    def finish(self):
        self.advance(self.total)

    async def __call__(self, fraction):
        """The analysis tool's progress callback: it reports i / total after file i."""
        self.advance(round(fraction * self.total) + 1 - self.done)

    def start(self):
        pass

    def moved(self, before):
        pass

    def write(self, text):
        self.stream.write(text)
        self.stream.flush()


class LineProgress(Progress):
    QUARTERS = 4

    def start(self):
        self.write(f"{self.title}: {self.total} files\n")

    def moved(self, before):
        quarter = self.done * self.QUARTERS // max(self.total, 1)
        if quarter > before * self.QUARTERS // max(self.total, 1) or self.done == self.total:
            self.write(f"{self.title}: {100 * self.done // max(self.total, 1)}% ({self.done}/{self.total})\n")


class BarProgress(Progress):
    WIDTH = 30
    STEPS = 100  # redraws per step at most: a million files do not spend their time drawing

    def start(self):
        self.stride = max(1, self.total // self.STEPS)
        self.shown = -1
        self.draw()

    def moved(self, before):
        if self.done - self.shown >= self.stride or self.done == self.total:
            self.draw()
            if self.done == self.total:
                self.write("\n")

    def draw(self):
        self.shown = self.done
        filled = self.WIDTH * self.done // max(self.total, 1)
        self.write(f"\r{self.title} [{'#' * filled}{'.' * (self.WIDTH - filled)}] {self.done}/{self.total}")
