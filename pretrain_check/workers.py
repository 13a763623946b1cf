"""Work over many files in chunks, spread over worker processes (every core
by default), with the results in the order of the files.

A worker process that dies (killed, or crashed in a decoder) takes the
chunks it was given with it: those are tried again, one at a time, in fresh
processes; a chunk that fails again is handed to `lost`, which says what to
report for its files, and the rest of the work goes on.

On Ctrl-C the processes are ended at once, without waiting for their chunks;
they ignore SIGINT themselves and end with their parent (interrupts.py)."""
import concurrent.futures
import os
import time
from concurrent.futures.process import BrokenProcessPool

from . import interrupts

CHUNK = 256
WORKER_DIED = "not checked: the worker process that had it died"


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

    def __exit__(self, kind, *exc):
        if self.pool:
            interrupted = kind is KeyboardInterrupt
            if interrupted:
                self.end_processes()
            # the pool's thread may wait for ever on an answer cut short
            self.pool.shutdown(wait=not interrupted, cancel_futures=True)

    def end_processes(self, wait=0.5):
        """Ends the processes without waiting for their chunks, and reaps
        them (a process stuck in the kernel is waited for `wait` seconds)."""
        processes = list(self.pool._processes.values())
        for process in processes:
            process.terminate()
        deadline = time.monotonic() + wait
        for process in processes:
            process.join(max(0.0, deadline - time.monotonic()))

    def map_chunks(self, work, items, progress=None, chunk=CHUNK, lost=None):
        """Yields (start, work(items[start:start + size])) for consecutive
        chunks of at most `chunk` items, in order (a few items are shared out
        over the workers too); moves progress by the items of each chunk done.
        `lost(chunk)` stands in for the result of a chunk whose worker died
        twice (without it, BrokenProcessPool is raised)."""
        size = max(1, min(chunk, -(-len(items) // self.count)))
        chunks = [items[i:i + size] for i in range(0, len(items), size)]
        large = not self.small_in_process or len(items) >= self.count * chunk
        if self.count > 1 and len(chunks) > 1 and large:
            results = self.pooled(work, chunks, lost)
        else:
            results = map(work, chunks)
        for start, (part, result) in zip(range(0, len(items), size), zip(chunks, results)):
            if progress:
                progress.advance(len(part))
            yield start, result

    def pooled(self, work, chunks, lost):
        """The results of work over chunks, in order; at most two chunks per
        process are queued at a time. A pool with a dead process is replaced
        once none of its chunks is left running."""
        done, running, suspects, fresh = {}, {}, [], list(range(len(chunks)))[::-1]
        broken, upcoming = False, 0
        while upcoming < len(chunks):
            if broken and not running:
                self.pool.shutdown(wait=False, cancel_futures=True)
                self.pool, broken = None, False
            while not broken and (suspects or fresh) and len(running) < (1 if suspects else 2 * self.count):
                alone = bool(suspects)  # a chunk whose worker died runs alone
                index = suspects.pop(0) if alone else fresh.pop()
                if self.pool is None:
                    self.pool = concurrent.futures.ProcessPoolExecutor(
                        self.count, initializer=interrupts.worker_started)
                try:
                    with interrupts.held_back():  # a submission may start processes
                        running[self.pool.submit(work, chunks[index])] = (index, alone)
                except BrokenProcessPool:  # a process died since the last look: this chunk never ran
                    broken = True
                    if alone:
                        suspects.insert(0, index)
                    else:
                        fresh.append(index)
                if alone:
                    break
            finished, _ = concurrent.futures.wait(running, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in finished:
                index, alone = running.pop(future)
                try:
                    done[index] = future.result()
                except BrokenProcessPool:
                    if lost is None:
                        raise
                    broken = True
                    if alone:
                        done[index] = lost(chunks[index])
                    else:
                        suspects.append(index)
            while upcoming in done:
                yield done.pop(upcoming)
                upcoming += 1
