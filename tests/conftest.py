"""Shared helpers: running a snippet in a fresh interpreter with a chosen
environment or stand-in `ravelin`."""
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
SUPPORT = REPO / "support"

# A shell without job control starts background commands with SIGINT
# ignored, and an ignored signal stays ignored across exec: every child
# interpreter would then keep ignoring Ctrl-C. A handled one is reset to the
# default in children, so they install Python's own handler as usual.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def run_python(code, *, env=None, extra_path=(), cwd=None, check=True, args=()):
    """Runs `code` in a new interpreter; returns the CompletedProcess.

    The child sees the same PYTHONPATH as the tests (so the same build of the
    package), with `extra_path` entries put in front, and `env` added on top.
    """
    child_env = dict(os.environ)
    paths = [str(p) for p in extra_path]
    if child_env.get("PYTHONPATH"):
        paths.append(child_env["PYTHONPATH"])
    if str(SUPPORT) not in child_env.get("PYTHONPATH", ""):
        paths.append(str(SUPPORT))
    child_env["PYTHONPATH"] = os.pathsep.join(paths)
    for key, value in (env or {}).items():
        if value is None:
            child_env.pop(key, None)
        else:
            child_env[key] = value
    proc = subprocess.run(
        [sys.executable, *args, "-c", textwrap.dedent(code)] if code is not None else [sys.executable, *args],
        env=child_env, cwd=cwd, capture_output=True, text=True, timeout=600,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


@pytest.fixture
def fake_ravelin(tmp_path):
    """Writes a stand-in `ravelin` package under tmp_path from a dict of
    relative file names to sources and returns the directory to put first on
    the path."""
    def make(files):
        root = tmp_path / "fake_ravelin"
        for rel, source in files.items():
            target = root / rel
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(textwrap.dedent(source))
        return root
    return make
