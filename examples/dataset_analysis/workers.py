"""Work over many files in chunks, spread over worker processes (every core
by default), with the results in the order of the files."""
import concurrent.futures
import os

CHUNK = 256


def cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


class Workers:
    """`count` processes, started on first use; 1 works in this process."""

    def __init__(self, count):
        self.count = count
        self.pool = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.pool:
            self.pool.shutdown(cancel_futures=True)

    def map_chunks(self, work, items, progress=None):
        """Yields (start, work(items[start:start + CHUNK])) for consecutive
        chunks, in order; moves progress by the items of each chunk done."""
        chunks = [items[i:i + CHUNK] for i in range(0, len(items), CHUNK)]
        if self.count > 1 and len(chunks) > 1:
            if self.pool is None:
                self.pool = concurrent.futures.ProcessPoolExecutor(self.count)
            results = self.pool.map(work, chunks)
        else:
            results = map(work, chunks)
        for start, (chunk, result) in zip(range(0, len(items), CHUNK), zip(chunks, results)):
            if progress:
                progress.advance(len(chunk))
            yield start, result
