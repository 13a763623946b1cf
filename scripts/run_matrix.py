"""The test matrix: the given test files and the size scan's differential
fuzzing in every cell of scripts/matrix_cells.txt (each set up by
scripts/matrix_cell.sh), then the cells' versions and results and the
scan's native share per format, cell beside cell.

    python scripts/run_matrix.py [--seed S] [--fuzz-files N] [--pillow-cell-tests FILE...] TEST_FILE...

A cell that holds nothing but a Pillow release runs the --pillow-cell-tests
files in place of the TEST_FILEs. Every cell fuzzes the same files (one
seed for all). The lane fails on a
failing test, a difference, a cell whose numpy or Pillow is not the one it
names, or a native share more than MAX_SHARE_GAP points away from the first
(oldest) cell's. A cell that cannot be set up is skipped and listed with the
skipped lanes; the others still run.
"""
import argparse
import json
import random
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
CELLS = REPO / "scripts" / "matrix_cells.txt"
FUZZ = REPO / "fuzz" / "image_sizes.py"
MAX_SHARE_GAP = 5
CELL_SKIPPED = 3  # matrix_cell.sh's status for a cell it could not set up

# What import finds in the cell: numpy and Pillow by their modules, the
# rest by their distributions.
VERSIONS = """
import importlib.metadata as md, json, numpy, PIL
stack = ["opencv-python", "torch", "torchvision", "mmengine", "mmcv-lite", "mmpretrain"]
print(json.dumps({"numpy": numpy.__version__, "pillow": PIL.__version__, **{n: md.version(n) for n in stack}}))
"""
SHOWN = {"numpy": "numpy", "pillow": "Pillow", "opencv-python": "opencv-python", "torch": "torch",
         "torchvision": "torchvision", "mmengine": "mmengine", "mmcv-lite": "mmcv-lite", "mmpretrain": "mmpretrain"}
FUZZ_CLOSING = re.compile(r"image sizes: (\d+) files, (\d+) differences?; native share (.*)$")


def say(text=""):
    print(f"matrix: {text}" if text else "matrix:", flush=True)


def skip_lane(lane, reason):
    subprocess.run(["bash", "-c", '. scripts/setup_lib.sh; skip_lane "$@"', "_", lane, reason], cwd=REPO, check=True)


def read_cells():
    cells = []
    for line in CELLS.read_text().splitlines():
        fields = line.partition("#")[0].split()
        if fields:
            cells.append((fields[0], dict(pin.split("==") for pin in fields[1:])))
    return cells


def last_line(output, pattern):
    return next((line for line in reversed(output.splitlines()) if re.search(pattern, line)), "")


class Cell:
    def __init__(self, name, pins):
        self.name, self.pins = name, pins
        self.python = None
        self.versions = {}
        self.tests = self.fuzz = "not run"
        self.shares = {}
        self.seconds = 0.0
        self.failures = []

    def set_up(self):
        with tempfile.NamedTemporaryFile("r", suffix=".path") as out:
            status = subprocess.run(["bash", str(REPO / "scripts" / "matrix_cell.sh"), self.name, out.name],
                                    cwd=REPO).returncode
            if status == 0:
                self.python = out.read().strip()
        if status not in (0, CELL_SKIPPED):
            self.failures.append("set-up failed")
        return self.python is not None

    def check_versions(self):
        proc = subprocess.run([self.python, "-c", VERSIONS], cwd=REPO, capture_output=True, text=True)
        if proc.returncode != 0:
            self.failures.append("the stack does not import")
            print(proc.stderr)
            return
        self.versions = json.loads(proc.stdout)
        say(f"cell {self.name}: " + ", ".join(f"{SHOWN[k]} {v}" for k, v in self.versions.items()))
        wrong = [f"{n} {self.versions.get(n)} instead of {v}" for n, v in self.pins.items() if self.versions.get(n) != v]
        if wrong:
            self.failures.append("imports " + ", ".join(wrong))

    def run_tests(self, files):
        say(f"cell {self.name}: pytest {' '.join(files)}")
        proc = subprocess.run([self.python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *files],
                              cwd=REPO, capture_output=True, text=True)
        closing = last_line(proc.stdout, r"\d+ (passed|failed|error)")
        self.tests = re.sub(r"^=+ | in [\d.]+s.*$", "", closing.strip()) or "no result"
        if proc.returncode != 0:
            self.failures.append("tests failed")
            print(proc.stdout[-20000:] + proc.stderr[-5000:])

    def run_fuzz(self, files, seed):
        say(f"cell {self.name}: fuzz/image_sizes.py --files {files} --seed {seed}")
        proc = subprocess.run([self.python, str(FUZZ), "--files", str(files), "--seed", str(seed)],
                              cwd=REPO, capture_output=True, text=True)
        closing = FUZZ_CLOSING.search(last_line(proc.stdout, FUZZ_CLOSING.pattern))
        if closing:
            self.fuzz = f"{closing[1]} files, {closing[2]} differences"
            self.shares = {fmt: int(share) for fmt, share in re.findall(r"(\w+) (\d+)%", closing[3])}
            say(f"cell {self.name}: {closing[0]}")
        else:
            self.fuzz = "no result"
        if proc.returncode != 0 or not closing:
            self.failures.append("fuzzing found differences" if closing else "fuzzing failed")
            print(proc.stdout[-20000:] + proc.stderr[-5000:])


def table(rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        say("  " + "  ".join(text.ljust(width) for text, width in zip(row, widths)).rstrip())


def compare_shares(cells, seed):
    """Prints the shares side by side; returns the failures."""
    first, others = cells[0], cells[1:]
    say(f"native share of the size scan per format (the same {first.fuzz.split()[0]} files, seed {seed}),"
        f" each cell against {first.name} (at most {MAX_SHARE_GAP} points apart):")
    rows, failures = [["format", *(c.name for c in cells), "gap"]], []
    for fmt in sorted(set().union(*(c.shares for c in cells))):
        shares = [c.shares.get(fmt) for c in cells]
        gaps = [abs(s - shares[0]) if s is not None and shares[0] is not None else None for s in shares[1:]]
        for cell, gap in zip(others, gaps):
            if gap is None or gap > MAX_SHARE_GAP:
                failures.append(f"{fmt} share {cell.shares.get(fmt)}% on {cell.name}, {shares[0]}% on {first.name}")
        worst = "missing" if None in gaps else f"{max(gaps)} points" + (" TOO FAR" if max(gaps) > MAX_SHARE_GAP else "")
        rows.append([fmt, *(f"{s}%" if s is not None else "-" for s in shares), worst])
    table(rows)
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tests", nargs="+")
    parser.add_argument("--pillow-cell-tests", nargs="+", default=[])
    parser.add_argument("--fuzz-files", type=int, default=3000)
    parser.add_argument("--seed", type=int)
    options = parser.parse_args()
    seed = options.seed if options.seed is not None else random.randrange(100000)
    started = time.monotonic()
    fuzzing = FUZZ.is_file()
    if not fuzzing:
        skip_lane("test-matrix (size-scan fuzzing)", "fuzz/image_sizes.py is not in this checkout: no differential run, no share check")

    cells, ran = [Cell(name, pins) for name, pins in read_cells()], []
    for cell in cells:
        cell_started = time.monotonic()
        say(f"cell {cell.name}: " + (", ".join(f"{SHOWN[n]} {v}" for n, v in cell.pins.items()) + ", the pinned rest"
                                     if cell.pins else "everything as pip resolves it"))
        if cell.set_up():
            ran.append(cell)
            cell.check_versions()
            only_pillow = set(cell.pins) == {"pillow"} and options.pillow_cell_tests
            cell.run_tests(options.pillow_cell_tests if only_pillow else options.tests)
            if fuzzing:
                cell.run_fuzz(options.fuzz_files, seed)
        cell.seconds = time.monotonic() - cell_started

    say()
    say("cells:")
    table([["cell", "numpy", "Pillow", "opencv-python", "tests", "size-scan fuzzing", "time", "result"]] + [
        [c.name, c.versions.get("numpy", "-"), c.versions.get("pillow", "-"), c.versions.get("opencv-python", "-"),
         c.tests, c.fuzz, f"{c.seconds:.0f} s",
         "; ".join(c.failures) or ("ok" if c in ran else "skipped")] for c in cells])
    failures = [f"{c.name}: {f}" for c in cells for f in c.failures]
    measured = [c for c in ran if c.shares]
    if fuzzing and len(measured) >= 2:
        failures += compare_shares(measured, seed)
    elif fuzzing:
        say("fewer than two cells have shares: no share check")
    say(f"{len(ran)} of {len(cells)} cells ran in {time.monotonic() - started:.0f} s; "
        + ("FAILED: " + "; ".join(failures) if failures else "every check held"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
