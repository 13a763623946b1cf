"""Ctrl-C ends `pretrain-check` and all its processes within moments, at any
step of a run over tens of thousands of files: from a terminal (SIGINT to the
whole process group, through a pseudo-terminal) and as `kill -INT` on the
main process. Worker processes never outlive their parent, also when it is
killed outright."""
import os
import signal
import struct
import subprocess
import sys
import time
import zlib

import numpy as np
import pytest

from conftest import SUPPORT
from harness.processes import session_processes

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc"), reason="reads /proc to see the worker processes")

FILES = 40_000
ENDED_WITHIN = 3.0  # seconds from the SIGINT to no process left: generous for a shared machine


def write_grey_pngs(root, count, per_class=10_000, size=(16, 12)):
    """Distinct noise images, encoded by hand: fast enough for tens of
    thousands."""
    width, height = size

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    head = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
    tail = chunk(b"IEND", b"")
    rows = np.random.default_rng(0).integers(0, 256, (count, height, width + 1), dtype=np.uint8)
    rows[:, :, 0] = 0  # each row's filter byte: none
    for i in range(count):
        folder = root / f"class_{i // per_class}"
        if i % per_class == 0:
            folder.mkdir(parents=True)
        (folder / f"{i}.png").write_bytes(head + chunk(b"IDAT", zlib.compress(rows[i].tobytes(), 1)) + tail)


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    root = tmp_path_factory.mktemp("many")
    write_grey_pngs(root, FILES)
    return root


@pytest.fixture(scope="module")
def few(tmp_path_factory):
    root = tmp_path_factory.mktemp("few")
    write_grey_pngs(root, 300, per_class=100)
    return root


def environment():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(SUPPORT), os.environ.get("PYTHONPATH")])))


def command(*args, code=None):
    return [sys.executable, *(["-c", code] if code else ["-m", "pretrain_check"]), *map(str, args)]


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait_until_gone(proc, sent):
    """Seconds from `sent` until the main process has exited and nothing of
    its session is left."""
    while proc.poll() is None or session_processes(proc.pid):
        if time.monotonic() - sent > 30:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            pytest.fail("still running 30 s after Ctrl-C")
        time.sleep(0.01)
    return time.monotonic() - sent


class Run:
    """The check in a session of its own; `output` reads its standard error
    (or its terminal) until a line holds `marker`."""

    def __init__(self, args, terminal=False):
        self.terminal = terminal
        self.seen = b""
        if terminal:
            import fcntl
            import pty
            import termios
            self.master, slave = pty.openpty()
            self.proc = subprocess.Popen(args, stdin=slave, stdout=slave, stderr=slave, env=environment(),
                                         start_new_session=True,
                                         preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
            os.close(slave)
        else:
            self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.PIPE, env=environment(), start_new_session=True)
            self.master = self.proc.stderr.fileno()

    def read(self):
        try:
            data = os.read(self.master, 65536)
        except OSError:  # the terminal's other side is closed
            data = b""
        self.seen += data
        return data

    def wait_for(self, marker):
        while marker.encode() not in self.seen:
            if not self.read():
                pytest.fail(f"ended before {marker!r}: {self.seen[-2000:].decode(errors='replace')}")

    def interrupt(self, to_main_only=False):
        """Ctrl-C; returns the seconds until the whole tree is gone."""
        sent = time.monotonic()
        if self.terminal:
            os.write(self.master, b"\x03")
        elif to_main_only:
            os.kill(self.proc.pid, signal.SIGINT)
        else:
            os.killpg(self.proc.pid, signal.SIGINT)
        seconds = wait_until_gone(self.proc, sent)
        while self.read():
            pass
        return seconds

    def close(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        if self.terminal:
            os.close(self.master)
        else:
            self.proc.stderr.close()


def interrupted(args, marker, after=0.3, terminal=False, to_main_only=False):
    run = Run(args, terminal)
    try:
        run.wait_for(marker)
        time.sleep(after)
        seconds = run.interrupt(to_main_only)
        return seconds, run.proc.returncode, run.seen.decode(errors="replace")
    finally:
        run.close()


def assert_ended_at_once(seconds, status, output):
    assert status == 130, output[-2000:]
    assert "pretrain-check: interrupted" in output and "Traceback" not in output, output[-2000:]
    assert seconds < ENDED_WITHIN, (seconds, output[-2000:])


# Each step of a run: the progress title that starts it, the wait after it,
# and where the SIGINT goes (the process group, as a terminal sends it, or
# the main process alone).
STEPS = {
    "walk": ("looking for what the scan leaves out", 0.1, "main"),
    "decode": ("opening and decoding every file", 0.3, "group"),
    "size scan": ("reading image sizes", 0.3, "main"),
    "hashing": ("looking for exact duplicates", 0.3, "group"),
    "measuring": ("measuring every image", 1.0, "main"),
}


@pytest.mark.parametrize("step", list(STEPS))
def test_sigint_at_each_step_ends_everything_at_once(many, step):
    marker, after, to = STEPS[step]
    args = command(many, "--check", "--decode", "--workers", "2")
    assert_ended_at_once(*interrupted(args, marker, after, to_main_only=to == "main"))


@pytest.mark.skipif(sys.platform == "win32", reason="no pseudo-terminals")
@pytest.mark.parametrize("step", ["size scan", "measuring"])
def test_ctrl_c_on_a_terminal_ends_everything_at_once(many, step):
    marker, after, _ = STEPS[step]
    seconds, status, output = interrupted(command(many, "--check"), marker, after, terminal=True)
    assert_ended_at_once(seconds, status, output)


def test_sigint_during_the_native_walk(tmp_path):
    """A tree whose walk never ends (each level links twice to the next)."""
    root = tmp_path / "chain"
    for i in range(41):
        (root / f"n{i}").mkdir(parents=True)
    for i in range(40):
        (root / f"n{i}" / "x.png").write_bytes(b"")
        for name in "ab":
            os.symlink(f"../n{i + 1}", root / f"n{i}" / name)
    run = Run(command(root / "n0", "--check"))
    try:
        time.sleep(4)  # the walk is under way once the interpreter has started
        assert run.proc.poll() is None
        seconds = run.interrupt()
        assert_ended_at_once(seconds, run.proc.returncode, run.seen.decode(errors="replace"))
    finally:
        run.close()


# The search given a few hundred thousand hashes takes long enough to be
# interrupted in the middle.
SLOW_SEARCH = """
import sys
import numpy as np
from pretrain_check import cli, near_duplicates
near_groups = near_duplicates.near_groups

def many_hashes(dct, difference, tiny, thumbnails_of):
    print("searching near duplicates", file=sys.stderr, flush=True)
    draw = np.random.default_rng(0)
    count = 400_000
    return near_groups(draw.integers(0, 2 ** 63, count, dtype=np.uint64),
                       draw.integers(0, 2 ** 63, count, dtype=np.uint64), np.zeros(count, dtype=bool),
                       near_duplicates.unread_thumbnails)

near_duplicates.near_groups = many_hashes
sys.exit(cli.main(sys.argv[1:]))
"""

# The report drawn again and again, so that Ctrl-C comes while drawing.
ENDLESS_REPORT = """
import sys
from pretrain_check import cli, report
draw_report = report.draw_report

def again_and_again(summary, path):
    print("drawing the report", file=sys.stderr, flush=True)
    while True:
        draw_report(summary, path)

report.draw_report = again_and_again
sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.mark.parametrize("code, marker", [(SLOW_SEARCH, "searching near duplicates"),
                                          (ENDLESS_REPORT, "drawing the report")], ids=["near duplicates", "report"])
def test_sigint_in_the_main_process_steps(few, tmp_path, code, marker):
    args = command(few, "--check", "--report", tmp_path / "report.png", code=code)
    assert_ended_at_once(*interrupted(args, marker, after=0.5, to_main_only=True))


CONFIG = """
custom_imports = dict(imports=["pretrain.datasets"], allow_failed_imports=False)
default_scope = "mmpretrain"
train_dataloader = dict(dataset=dict(type="CustomDataset", data_root={root!r}))
"""


def test_sigint_in_config_mode(many, tmp_path):
    config = tmp_path / "config.py"
    config.write_text(CONFIG.format(root=str(many)))
    args = command("--config", config)
    assert_ended_at_once(*interrupted(args, "measuring every image of every part", after=0.5))


def test_workers_end_when_their_parent_is_killed(many):
    run = Run(command(many, "--check", "--workers", "2"))
    try:
        run.wait_for("looking for exact duplicates")
        workers = [pid for pid in session_processes(run.proc.pid) if pid != run.proc.pid]
        assert len(workers) == 2
        run.proc.kill()
        run.proc.wait()
        deadline = time.monotonic() + ENDED_WITHIN
        while any(map(alive, workers)) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert not any(map(alive, workers))
    finally:
        run.close()
