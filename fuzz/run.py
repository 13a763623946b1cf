"""Seeded fuzzing of every Python-visible entry point of both libraries, in
child processes. Fails (exit status 1) on a crash, a sanitizer report or a
hang, naming the command that replays the case.

    python fuzz/run.py [--seed N] [--scale F]
    python fuzz/worker.py --group G --seed N --count C --progress FILE [--only K]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# (group, cases, collect at every allocation, time limit in seconds)
# The limits are for the whole child on a busy machine; a single case that
# runs over a minute is stopped by the child itself as a hang.
PLAN = [
    ("loader", 8000, False, 150),
    ("loader", 2000, True, 60),
    ("stack", 3000, False, 200),
]

REPORT = re.compile(r"ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer|Fatal Python error|^Timeout \(",
                    re.M)


def run_worker(group, seed, count, gc_every, limit, workdir):
    progress = os.path.join(workdir, f"{group}-{seed}-{int(gc_every)}.progress")
    command = [sys.executable, os.path.join(HERE, "worker.py"), "--group", group, "--seed", str(seed),
               "--count", str(count), "--progress", progress]
    if gc_every:
        command.append("--gc-every-allocation")
    env = dict(os.environ, PYTHONHASHSEED="0")
    started = time.monotonic()
    with open(os.path.join(workdir, "out.log"), "w+") as out:
        try:
            proc = subprocess.run(command, env=env, stdout=out, stderr=subprocess.STDOUT, timeout=limit)
            status = proc.returncode
        except subprocess.TimeoutExpired:
            status = "hang"
        out.seek(0)
        output = out.read()
    elapsed = time.monotonic() - started
    try:
        with open(progress) as f:
            case = f.read().strip()
    except OSError:
        case = "before the first case"
    calls = re.findall(r"^calls (\d+)$", output, re.M)
    failed = status != 0 or REPORT.search(output) is not None
    again = (f"bash scripts/run_sanitized.sh 600 {sys.executable} fuzz/worker.py --group {group} --seed {seed} "
             f"--count {count} --progress /tmp/fuzz.progress" + (" --gc-every-allocation" if gc_every else ""))
    return {
        "group": group, "seed": seed, "gc": gc_every, "status": status, "case": case,
        "calls": int(calls[-1]) if calls else 0, "seconds": elapsed, "failed": failed,
        "output": output, "replay": f"{again} --only {case}", "from_start": again,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the number of cases")
    options = parser.parse_args()
    seed = options.seed if options.seed is not None else int(time.time()) % 100000
    print(f"fuzz: seed {seed}", flush=True)
    total, failures = 0, []
    with tempfile.TemporaryDirectory(prefix="fuzz-run-") as workdir:
        for group, count, gc_every, limit in PLAN:
            result = run_worker(group, seed, max(1, int(count * options.scale)), gc_every, limit, workdir)
            total += result["calls"]
            print(f"fuzz: {group}{' (gc at every allocation)' if gc_every else ''}: "
                  f"{result['calls']} calls in {result['seconds']:.0f} s, status {result['status']}", flush=True)
            if result["failed"]:
                failures.append(result)
    print(f"fuzz: {total} calls in all", flush=True)
    for f in failures:
        print(f"\nfuzz: FAILED in group {f['group']} (seed {f['seed']}), case {f['case']}: status {f['status']}")
        print(f"fuzz: replay: {f['replay']}")
        print(f"fuzz: or from the start: {f['from_start']}")
        print(f['output'][-6000:])
    if failures:
        sys.exit(1)
    if total < 10000 * min(1.0, options.scale):
        print(f"fuzz: only {total} calls; the run must make at least 10000")
        sys.exit(1)


if __name__ == "__main__":
    main()
