"""Folds shared between processes working on the same store (the copies of
a `pretrain_tools.launch`): a process trains a fold once it has claimed it,
by creating `fold_<k>.claim` exclusively with its process id in it, and
removes the claim once the fold is saved. A claim whose process has ended
(interrupted, killed) is taken over. With nothing left to claim, a process
waits for the folds the others hold."""
import contextlib
import os
import time
from pathlib import Path

POLL = 0.2          # seconds between two looks at the others' folds
UNWRITTEN = 10.0    # seconds after which a claim still without its process id is stale


def shared(targets, train, say):
    """Calls train(k) for every target file k that does not exist yet and
    that this process claims, until every target exists; returns the k it
    trained."""
    trained, announced = [], set()
    while True:
        left = [k for k, target in enumerate(targets) if not target.exists()]
        if not left:
            return trained
        fold = next((k for k in left if claim(claim_of(targets[k]))), None)
        if fold is None:
            for k in sorted(set(left) - announced):
                say(f"fold {k + 1}/{len(targets)}: waiting for process {holder(claim_of(targets[k])) or '?'}")
            announced.update(left)
            time.sleep(POLL)
            continue
        try:
            if not targets[fold].exists():  # saved by another between the look and the claim
                train(fold)
                trained.append(fold)
        finally:
            release(claim_of(targets[fold]))


def claim_of(target):
    return target.with_name(target.name.split(".")[0] + ".claim")


def claim(path):
    """True when this process now holds the claim."""
    for _ in range(2):  # the second time after taking over a stale claim
        try:
            descriptor = os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            text = read(path)
            if text is not None:
                if not stale(path, text):
                    return False
                take_over(path, text)
            continue
        with os.fdopen(descriptor, "w") as claim_file:
            claim_file.write(str(os.getpid()))
        return True
    return False


def release(path):
    if read(path) == str(os.getpid()):
        with contextlib.suppress(FileNotFoundError):
            os.remove(path)


def holder(path):
    text = read(path)
    return int(text) if text and text.isdigit() else None


def read(path):
    try:
        return Path(path).read_text().strip()
    except (FileNotFoundError, PermissionError):  # gone, or being replaced (Windows)
        return None


def stale(path, text):
    if not text:
        with contextlib.suppress(FileNotFoundError):
            return time.time() - os.path.getmtime(path) > UNWRITTEN
        return False
    return not text.isdigit() or not running(int(text))


def take_over(path, text):
    """Removes the stale claim holding `text`: moved aside first, so that of
    several processes taking it over at once one removes it; a fresh claim
    moved aside by mistake is put back."""
    aside = Path(f"{path}.{os.getpid()}")
    try:
        os.replace(path, aside)
    except FileNotFoundError:
        return
    if read(aside) != text:
        with contextlib.suppress(FileExistsError):
            os.link(aside, path)
    with contextlib.suppress(FileNotFoundError):
        os.remove(aside)


def running(pid):
    if os.name == "nt":
        return _running_on_windows(pid)
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    try:  # an ended child its parent has not waited for yet still answers
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return True


def _running_on_windows(pid):
    import ctypes
    kernel32 = ctypes.windll.kernel32
    synchronize, query_limited, access_denied, still_running = 0x00100000, 0x1000, 5, 0x102
    handle = kernel32.OpenProcess(synchronize | query_limited, False, pid)
    if not handle:
        return kernel32.GetLastError() == access_denied
    try:
        return kernel32.WaitForSingleObject(handle, 0) == still_running
    finally:
        kernel32.CloseHandle(handle)
