"""mmengine's progress bar, moved only every `total / steps` items so that a
million-file step does not spend its time drawing."""
import sys

from mmengine.utils import ProgressBar


class Progress:
    def __init__(self, total, steps=50):
        self.total, self.done, self.shown = total, 0, 0
        self.stride = max(1, total // steps)
        self.bar = ProgressBar(total) if total else None

    def advance(self, count=1):
        self.done = min(self.total, self.done + count)
        due = self.done - self.shown >= self.stride or self.done == self.total
        if self.bar and due and self.done > self.shown:
            self.bar.update(self.done - self.shown)
            self.shown = self.done
            if self.done == self.total:
                sys.stdout.write("\n")

    def finish(self):
        self.advance(self.total)

    async def __call__(self, fraction):
        """The analysis tool's progress callback: it reports i / total after file i."""
        self.advance(round(fraction * self.total) + 1 - self.done)
