"""The K folds of --label-issues shared between processes: two copies
through `python -m pretrain_tools.launch` on the tiny config of
test_label_folds.py, one fold's claim left behind by an ended process; and
the claims themselves (a fold a live process holds is waited for, not
trained twice)."""
import contextlib
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import SUPPORT, run_python
from helpers.summaries import load_summary
from pretrain_check.labels import fold_claims
from test_label_folds import tiny_config  # noqa: F401 (the fixture)


def ended_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


def child_env():
    return dict(os.environ, OMP_NUM_THREADS="1",
                PYTHONPATH=os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), str(SUPPORT)])))


def check(config, work, summary, *launch):
    return run_python(None, check=False, env={"OMP_NUM_THREADS": "1"},
                      args=[*launch, "-m", "pretrain_check", "--config", str(config), "--label-issues",
                            "--folds", "3", "--work-dir", str(work), "--json", str(summary)])


def test_two_copies_share_the_folds_and_take_over_a_stale_claim(tiny_config, tmp_path):  # noqa: F811
    alone = check(tiny_config, tmp_path / "alone", tmp_path / "alone.json")
    assert alone.returncode in (0, 1), alone.stderr
    store = next((tmp_path / "alone").iterdir()).name
    left_behind = tmp_path / "shared" / store / "fold_2.claim"
    left_behind.parent.mkdir(parents=True)
    left_behind.write_text(str(ended_pid()))

    shared = check(tiny_config, tmp_path / "shared", tmp_path / "shared.json",
                   "-m", "pretrain_tools.launch", "--nproc", "2")
    assert shared.returncode == alone.returncode, shared.stderr
    assert shared.stdout.count("summary written to") == 1 and shared.stdout.count("no problems found") <= 1
    assert (load_summary(tmp_path / "shared.json")["problems"]["label_issues"]
            == load_summary(tmp_path / "alone.json")["problems"]["label_issues"])

    first = re.search(r"^rank 0: 3 folds done in \d+ s \(folds? ([\d, ]+) trained here\)", shared.stderr, re.M)
    other = re.search(r"^pretrain-check rank 1: folds? ([\d, ]+) trained here;", shared.stderr, re.M)
    assert first and other, shared.stderr
    trained = sorted(int(k) for found in (first, other) for k in found[1].split(", "))
    assert trained == [1, 2, 3]
    for fold in range(3):
        ours, theirs = (np.load(tmp_path / name / store / f"fold_{fold}.npz") for name in ("alone", "shared"))
        assert np.array_equal(ours["positions"], theirs["positions"])
        assert np.allclose(ours["probs"], theirs["probs"], atol=1e-6)
    assert not list((tmp_path / "shared" / store).glob("*.claim*"))


def test_a_fold_a_live_process_holds_is_waited_for(tmp_path):
    targets = [tmp_path / f"fold_{k}.npz" for k in range(3)]
    holder = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        (tmp_path / "fold_0.claim").write_text(str(holder.pid))
        (tmp_path / "fold_1.claim").write_text(str(ended_pid()))
        said = []

        def train(fold):
            targets[fold].write_bytes(b"")
            if fold == 2:  # the holder finishes its fold meanwhile
                threading.Timer(0.5, targets[0].write_bytes, (b"",)).start()

        assert fold_claims.shared(targets, train, said.append) == [1, 2]
        assert said == [f"fold 1/3: waiting for process {holder.pid}"]
        assert (tmp_path / "fold_0.claim").read_text() == str(holder.pid)
        assert sorted(p.name for p in tmp_path.glob("*.claim*")) == ["fold_0.claim"]
    finally:
        holder.kill()
        holder.wait()


@pytest.mark.skipif(not hasattr(os, "killpg"), reason="a process group gets the SIGINT")
def test_ctrl_c_ends_both_copies_and_the_launcher(tiny_config, tmp_path):  # noqa: F811
    """SIGINT to the launcher's process group while a fold trains: every
    process ends at once, with 130 and no traceback."""
    job = subprocess.Popen([sys.executable, "-m", "pretrain_tools.launch", "--nproc", "2", "-m", "pretrain_check",
                            "--config", str(tiny_config), "--label-issues", "--folds", "3", "--epochs", "50",
                            "--work-dir", str(tmp_path)], env=child_env(), stderr=subprocess.PIPE, text=True,
                           start_new_session=True)
    lines = []
    try:
        for line in job.stderr:
            lines.append(line)
            if "training on" in line:
                break
        os.killpg(job.pid, signal.SIGINT)
        sent = time.monotonic()
        rest = job.communicate(timeout=30)[1]
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(job.pid, signal.SIGKILL)
    assert time.monotonic() - sent < 5, "".join(lines) + rest
    assert job.returncode == 130 and "Traceback" not in rest, "".join(lines) + rest
    assert rest.count("pretrain-check: interrupted") == 2 and "pretrain_tools.launch: interrupted" in rest
    time.sleep(0.2)
    with pytest.raises(ProcessLookupError):
        os.killpg(job.pid, 0)
