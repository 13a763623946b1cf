"""Scans under Ctrl-C and on special files behave as the plain Python tool
(helpers/analysis.py) behaves: SIGINT stops a long walk, size scan or list
build where Python stops, leaving the tool's attributes as they were, and a
FIFO, socket or device named like an image is opened only by Image.open,
exactly as often as Python opens it."""
import io
import os
import signal
import socket
import stat
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
from PIL import Image

from conftest import REPO, SUPPORT

WINDOWS = sys.platform == "win32"
TESTS = Path(__file__).resolve().parent

# The child prints "go" just before the long call, then what ended it.
CHILD = """
import asyncio, sys, time
sys.path.insert(0, {tests!r})
if {module!r} == "native":
    import pretrain.analyzing_tools as m
else:
    from helpers import analysis as m
from pathlib import Path
tool = m.ClsAnalyzingTool({root!r})
{setup}
before = dict(vars(tool))
coroutine = tool.{call}
print("go", flush=True)
try:
    if {driver!r} == "send":
        coroutine.send(None)
    else:
        asyncio.run(coroutine)
    print("finished", flush=True)
except KeyboardInterrupt:
    stopped = time.monotonic()
    same = all(getattr(tool, k) is v for k, v in before.items())
    print("KeyboardInterrupt", stopped, same, flush=True)
"""


def interrupt(module, root, call, driver, setup="", signals=1, after=0.7):
    """Runs the call in a child, sends SIGINT `signals` times once it runs;
    returns what the child printed last and the delay from the last SIGINT."""
    code = CHILD.format(tests=str(TESTS), module=module, root=str(root), setup=textwrap.dedent(setup),
                        call=call, driver=driver)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SUPPORT), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env, cwd=REPO)
    try:
        assert proc.stdout.readline().strip() == "go"
        time.sleep(after)
        for _ in range(signals):
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            time.sleep(0.3)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    last = (out.strip().splitlines() or [err.strip()])[-1].split()
    if last[0] != "KeyboardInterrupt":
        return last, None
    return [last[0], last[2]], float(last[1]) - sent


@pytest.fixture(scope="module")
def endless_tree(tmp_path_factory):
    """Each level links twice to the next: 2**40 paths, glob never ends."""
    root = tmp_path_factory.mktemp("chain")
    for i in range(41):
        (root / f"n{i}").mkdir()
    for i in range(40):
        (root / f"n{i}" / "x.png").write_bytes(b"")
        for name in "ab":
            os.symlink(f"../n{i + 1}", root / f"n{i}" / name)
    return root / "n0"


def png_bytes(size=(3, 2)):
    buffer = io.BytesIO()
    Image.new("L", size).save(buffer, "PNG")
    return buffer.getvalue()


@pytest.fixture(scope="module")
def many_images(tmp_path_factory):
    root = tmp_path_factory.mktemp("many")
    (root / "c").mkdir()
    data = png_bytes()
    for i in range(20_000):
        (root / "c" / f"{i}.png").write_bytes(data)
    return root


# (call, setup, SIGINTs after which plain Python stops under asyncio.run: its
# handler cancels the task at the first and raises at the second)
CASES = {
    "walk": ("get_path_list()", ""),
    "size scan": ("get_image_size_distribution()",
                  "tool.path_list = sorted(Path({root!r}).glob('*/*')) * 40"),
    "list build": ("get_image_format_distribution()",
                   "tool.path_list = [Path({root!r}, 'c', '1.png')] * 30_000_000"),
}


@pytest.mark.skipif(WINDOWS, reason="SIGINT from another process")
@pytest.mark.parametrize("driver", ["send", "asyncio"])
@pytest.mark.parametrize("case", list(CASES))
def test_sigint_stops_long_scans_as_python_does(case, driver, endless_tree, many_images):
    root = endless_tree if case == "walk" else many_images
    call, setup = CASES[case]
    setup = setup.format(root=str(root))
    signals = 1 if driver == "send" else 2
    results = {}
    for module in ("native", "python"):
        results[module] = interrupt(module, root, call, driver, setup, signals)
    assert results["native"][0] == results["python"][0] == ["KeyboardInterrupt", "True"], results
    assert results["native"][1] < 2.0  # arrives at once, not when the work ends


# ---- special files -------------------------------------------------------------

SCAN = """
import asyncio, sys
sys.path.insert(0, {tests!r})
if sys.argv[1] == "native":
    import pretrain.analyzing_tools as m
else:
    from helpers import analysis as m
tool = m.ClsAnalyzingTool({root!r})
tool.path_list = [{path!r}]
try:
    print(dict(asyncio.run(tool.get_image_size_distribution())))
except Exception as e:
    print(type(e).__name__, e)
"""


def scan_in_child(module, root, path, timeout=20):
    code = SCAN.format(tests=str(TESTS), root=str(root), path=str(path))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SUPPORT), os.environ.get("PYTHONPATH", "")]))
    try:
        out = subprocess.run([sys.executable, "-c", code, module], capture_output=True, text=True,
                             timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return "blocked"
    return out.stdout.strip() or out.stderr.strip()


class FifoWriter:
    """Serves the FIFO: each reader gets the next image and its end (the
    last one again and again), once or until stopped."""

    def __init__(self, path, images, once):
        self.path, self.images, self.once = path, images, once
        self.connections = 0
        self.stopping = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while True:
            fd = os.open(self.path, os.O_WRONLY)  # waits for a reader
            if self.stopping:
                os.close(fd)
                return
            try:
                os.write(fd, self.images[min(self.connections, len(self.images) - 1)])
            except OSError:
                pass
            os.close(fd)  # the reader reads up to here
            self.connections += 1
            if self.once:
                return
            time.sleep(0.2)  # the reader closes its end before the next open

    def stop(self):
        self.stopping = True
        if self.thread.is_alive():
            fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK)  # lets a waiting open return
            self.thread.join(5)
            os.close(fd)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no named pipes")
@pytest.mark.parametrize("writer", ["one-shot", "per-connection"])
def test_fifo_is_opened_once_as_python_opens_it(tmp_path, writer):
    results = {}
    for module in ("native", "python"):
        fifo = tmp_path / module / "c" / "x.png"
        fifo.parent.mkdir(parents=True)
        os.mkfifo(fifo)
        server = FifoWriter(fifo, [png_bytes((5 + k, 4)) for k in range(4)], once=writer == "one-shot")
        results[module] = scan_in_child(module, tmp_path / module, fifo)
        server.stop()
    # Image.open reads a pipe to its end: the first image, from the first open.
    assert results["native"] == results["python"] == "{'(5, 4)': 1}", results


@pytest.mark.skipif(not hasattr(socket, "AF_UNIX"), reason="no Unix sockets")
def test_socket_named_like_an_image_fails_as_in_python(tmp_path):
    path = tmp_path / "s.png"
    server = socket.socket(socket.AF_UNIX)
    try:
        server.bind(str(path))
    except OSError as e:
        pytest.skip(f"cannot bind a Unix socket here: {e}")
    with server:
        results = [scan_in_child(module, tmp_path, path) for module in ("native", "python")]
    assert results[0] == results[1] and results[0].startswith("OSError"), results


@pytest.mark.skipif(WINDOWS, reason="device nodes")
def test_device_nodes_named_like_images_read_as_in_python(tmp_path):
    results = []
    for name, device in (("null.png", (1, 3)), ("zero.jpg", (1, 5))):
        path = tmp_path / name
        try:
            os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(*device))
        except (OSError, AttributeError) as e:
            pytest.skip(f"cannot make device nodes here: {e}")
        outcomes = [scan_in_child(module, tmp_path, path) for module in ("native", "python")]
        assert outcomes[0] == outcomes[1] != "blocked", outcomes
        results.append(outcomes[0])
    assert all(r.startswith("UnidentifiedImageError") for r in results), results


def test_signal_raised_in_process_stops_the_size_scan(tmp_path):
    """Ctrl-C as Windows delivers it (a handler run in the process), while the
    scan waits for its worker threads: KeyboardInterrupt, nothing replaced."""
    (tmp_path / "c").mkdir()
    data = png_bytes()
    for i in range(500):
        (tmp_path / "c" / f"{i}.png").write_bytes(data)
    code = f"""
import signal, threading
import pretrain.analyzing_tools as m
from pathlib import Path
tool = m.ClsAnalyzingTool({str(tmp_path)!r})
tool.path_list = sorted(Path({str(tmp_path)!r}).glob('*/*')) * 4000
timer = threading.Timer(0.5, signal.raise_signal, (signal.SIGINT,))
timer.start()
try:
    tool.get_image_size_distribution().send(None)
    print("finished")
except KeyboardInterrupt:
    # The handler may run before the timer's thread has ended.
    timer.join()
    print("KeyboardInterrupt", tool.image_size_distribution, threading.active_count())
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join([str(SUPPORT), os.environ.get("PYTHONPATH", "")])))
    assert out.stdout.split() == ["KeyboardInterrupt", "{}", "1"], out.stderr
