"""Work over many files in chunks, spread over worker processes (every core
by default), with the results in the order of the files."""
import concurrent.futures
import os

CHUNK = 256


def cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


class Workers:
    """`count` processes, started on first use; 1 works in this process, and
    so does any count for work of fewer than `count` full chunks when
    `small_in_process` (starting processes costs more than it saves there)."""

    def __init__(self, count, small_in_process=False):
        self.count = count
        self.small_in_process = small_in_process
        self.pool = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.pool:
            self.pool.shutdown(cancel_futures=True)

    def map_chunks(self, work, items, progress=None, chunk=CHUNK):
        """Yields (start, work(items[start:start + size])) for consecutive
        chunks of at most `chunk` items, in order (a few items are shared out
        over the workers too); moves progress by the items of each chunk done."""
        size = max(1, min(chunk, -(-len(items) // self.count)))
        chunks = [items[i:i + size] for i in range(0, len(items), size)]
        large = not self.small_in_process or len(items) >= self.count * chunk
        if self.count > 1 and len(chunks) > 1 and large:
            if self.pool is None:
                self.pool = concurrent.futures.ProcessPoolExecutor(self.count)
            results = self.pool.map(work, chunks)
        else:
            results = map(work, chunks)
        for start, (part, result) in zip(range(0, len(items), size), zip(chunks, results)):
            if progress:
                progress.advance(len(part))
            yield start, result
