"""How fast Ctrl-C ends `pretrain-check DIR --check`: the run is interrupted
at random moments (drawn over the length of an uninterrupted run) and the
time from the SIGINT until the whole process tree is gone is measured, with
the exit status. The SIGINT goes to the process group, as a terminal sends
it, or to the main process alone (`--to main`). Linux (reads /proc).

Too long for `make bench`; run it on its own:

    .venv/bin/python bench/ctrl_c.py [--files 50000] [--times 10] [--root DIR]
"""
import argparse
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from check_scale import generate

sys.path.append(str(Path(__file__).resolve().parent.parent))  # the repository root, for harness/
from harness.processes import session_processes  # noqa: E402

HERE = Path(__file__).resolve().parent


def start(root):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(HERE.parent / "support"), os.environ.get("PYTHONPATH")])))
    proc = subprocess.Popen([sys.executable, "-m", "pretrain_check", str(root), "--check"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, start_new_session=True)
    lines = []

    def read():
        for line in proc.stderr:
            lines.append(line)
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    return proc, lines, reader


def full_run(root):
    started = time.perf_counter()
    proc, lines, reader = start(root)
    proc.wait()
    reader.join()
    if proc.returncode not in (0, 1):
        raise RuntimeError("".join(lines[-20:]))
    return time.perf_counter() - started


def interrupted_run(root, after, to_group):
    """(seconds from SIGINT to no process left, exit status, the step under
    way, whether a traceback was printed), or None when the run ended first."""
    proc, lines, reader = start(root)
    time.sleep(after)
    if proc.poll() is not None:
        reader.join()
        return None
    step = lines[-1].split(":")[0] if lines else "(starting)"
    sent = time.perf_counter()
    if to_group:
        os.killpg(proc.pid, signal.SIGINT)
    else:
        proc.send_signal(signal.SIGINT)
    while proc.poll() is None or session_processes(proc.pid):
        if time.perf_counter() - sent > 60:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            break
        time.sleep(0.005)
    ended = time.perf_counter() - sent
    reader.join()
    return ended, proc.returncode, step, any("Traceback" in line for line in lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=50_000)
    parser.add_argument("--times", type=int, default=10)
    parser.add_argument("--to", choices=("group", "main"), default="group")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--root", type=Path, help="where to generate the files (kept; reused when present)")
    args = parser.parse_args()
    root = args.root or Path(tempfile.mkdtemp(prefix="pretrain_check_ctrl_c_"))
    try:
        if not any(root.glob("class_*")):
            print(f"(generating {args.files} files under {root})", file=sys.stderr, flush=True)
            generate(root, args.files)
        length = min(full_run(root), full_run(root))  # the first one may read the files from disk
        print(f"uninterrupted run: {length:.1f} s", flush=True)
        draw = random.Random(args.seed)
        delays = []
        while len(delays) < args.times:
            after = draw.uniform(0.05, length)
            outcome = interrupted_run(root, after, args.to == "group")
            if outcome is None:  # this run was quicker than the first: another moment is drawn
                print(f"SIGINT after {after:5.1f} s: the run had ended", flush=True)
                continue
            ended, status, step, traceback = outcome
            delays.append(ended)
            print(f"SIGINT after {after:5.1f} s ({step}): ended in {ended:6.3f} s, status {status}"
                  + (", traceback printed" if traceback else ""), flush=True)
        print(f"SIGINT to the {args.to}: median {statistics.median(delays):.3f} s, worst {max(delays):.3f} s "
              f"over {len(delays)} interrupts")
    finally:
        if args.root is None:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
