"""The set-up around the tests: each clone runs its own build, and lanes that
cannot run say so."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import REPO


def test_this_clone_tests_its_own_build():
    import pretrain
    import __pycache__ as namespace_library
    pth = Path(sys.prefix) / "lib" / "python3.11" / "site-packages" / "_pretrain_shared_stack.pth"
    if not pth.is_file():
        pytest.skip("not running in a clone's .venv (scripts/ensure_venv.sh)")
    assert Path(sys.prefix) == REPO / ".venv"
    # The clone's .venv, or its sanitizer build when that lane puts it first.
    for module in (pretrain, namespace_library):
        assert any(Path(module.__file__).is_relative_to(REPO / place) for place in (".venv", "build")), \
            module.__file__
    # The cached stack that every clone shares holds no build of the project.
    shared = [Path(entry) for entry in sys.path if "pretrain-venvs" in entry]
    assert shared
    for entry in shared:
        builds = [*entry.glob("pretrain.*"), *entry.glob("__pycache__.*"), *entry.glob("pretrain-*.dist-info")]
        assert builds == []


@pytest.fixture
def no_root(tmp_path):
    """A PATH on which `id -u` says 1000 and sudo refuses, as for a plain user."""
    shims = tmp_path / "shims"
    shims.mkdir()
    (shims / "id").write_text('#!/bin/sh\n[ "$1" = -u ] && echo 1000 || /usr/bin/id "$@"\n')
    (shims / "sudo").write_text("#!/bin/sh\nexit 1\n")
    for shim in shims.iterdir():
        shim.chmod(0o755)
    return {**os.environ, "PATH": f"{shims}{os.pathsep}{os.environ['PATH']}",
            "PRETRAIN_LANES_FILE": str(tmp_path / "skipped.txt")}


def bash(script, env):
    return subprocess.run(["bash", "-c", script], cwd=REPO, env=env, capture_output=True, text=True, timeout=120)


def test_a_lane_that_needs_root_is_skipped_and_listed_at_the_end(no_root):
    lane = bash('. scripts/setup_lib.sh; apt_install "about 1 MB" some-tool || '
                '{ skip_lane demo "some-tool could not be installed"; exit 0; }; echo installed', no_root)
    assert lane.returncode == 0
    assert lane.stdout.splitlines() == [
        "setup: cannot install some-tool (needs root; run as root or install them by hand)",
        "lane demo SKIPPED: some-tool could not be installed",
    ]
    summary = bash("bash scripts/lane_summary.sh", no_root).stdout
    assert summary == "make test: lanes skipped:\n  demo: some-tool could not be installed\n"
    bash("bash scripts/lane_summary.sh reset", no_root)
    assert bash("bash scripts/lane_summary.sh", no_root).stdout == "make test: no lane skipped\n"


def test_announcements_give_the_size_before_anything_happens(no_root):
    out = bash('. scripts/setup_lib.sh; announce "about 630 MB on disk" installing the mingw-w64 compiler',
               no_root).stdout
    assert out == "setup: installing the mingw-w64 compiler (about 630 MB on disk)\n"
