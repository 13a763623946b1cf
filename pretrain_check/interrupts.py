"""Ctrl-C ends the check and its worker processes at once.

In the main process SIGINT raises KeyboardInterrupt whatever runs (also
under an event loop, whose own handler would wait for the coroutine under
way to suspend), between two bytecodes: the main process's numpy work comes
in bounded pieces (near_duplicates.py). The interrupted run then ends with
status 130 without the interpreter's clean-up, which would wait for the
pool's threads; a second SIGINT while the first one unwinds ends the process
there and then.

Worker processes ignore SIGINT (a terminal sends it to each of them; the main
process ends them) and end as soon as their parent is gone, however it
ended. Every operating system difference lives here."""
import contextlib
import multiprocessing
import os
import signal
import sys
import threading

INTERRUPTED = 130
_program = None  # set while SIGINT is handled here: the name the message gives


def _exit_now():
    """The end of an interrupted run: the worker processes are ended (or end
    with this process); exiting without the interpreter's clean-up waits for
    no pool thread left blocked on a worker that was stopped mid-answer."""
    with contextlib.suppress(Exception):  # a closed or broken stream stops nothing here
        sys.stderr.write(f"{_program}: interrupted\n")
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):
            stream.flush()
    os._exit(INTERRUPTED)


def _interrupt(signum, frame):
    if _interrupt.pending:
        _exit_now()
    _interrupt.pending = True
    raise KeyboardInterrupt


_interrupt.pending = False


def exit_status(program, run, *args):
    """run(*args), with SIGINT raising KeyboardInterrupt at once; on Ctrl-C
    the process ends with status 130 and "program: interrupted" on standard
    error. SIGINT stays as it is when it is ignored (a background job),
    handled by someone else, or outside the main thread; KeyboardInterrupt
    then returns 130."""
    global _program
    ours = (threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    _program = program
    try:
        if ours:
            _interrupt.pending = False
            signal.signal(signal.SIGINT, _interrupt)
        return run(*args)
    except KeyboardInterrupt:
        if ours:
            _exit_now()
        print(f"{program}: interrupted", file=sys.stderr)
        return INTERRUPTED
    finally:
        if ours:
            signal.signal(signal.SIGINT, signal.default_int_handler)


@contextlib.contextmanager
def held_back():
    """Around starting worker processes: SIGINT waits in this thread, so a
    new process never runs its parent's handler before it ignores SIGINT
    (where signals can be held back: elsewhere the window is the start of
    the interpreter)."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    before = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, before)


def worker_started():
    """Runs first in each worker process."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    parent = multiprocessing.parent_process()
    if parent is not None:
        threading.Thread(target=_end_with, args=(parent,), daemon=True).start()


def _end_with(parent):
    parent.join()  # returns once the parent has ended: its pipe or handle is closed
    os._exit(1)
