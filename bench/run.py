"""Runs every bench module (bench/bench_*.py) and prints one table: row,
native time, plain-Python time, ratio native / Python (and the floor, where a
module gives one). A module takes part through `rows(quick=False)`, which
yields dicts {"name", "native", "python", "ratio", "floor" (optional),
"unit" (optional, default seconds)}; a module without it is skipped with a
note.

    .venv/bin/python bench/run.py [--quick] [--only MODULE]
"""
import argparse
import importlib
import sys
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent


def format_value(value, unit):
    if value is None:
        return "-"
    if unit == "MiB":
        return f"{value:.1f} MiB"
    if value >= 1:
        return f"{value:.3f} s"
    return f"{value * 1000:.2f} ms"


def print_table(rows, out=sys.stdout):
    header = f"{'row':<62} {'native':>12} {'python':>12} {'ratio':>7} {'floor':>12}"
    print(header, file=out)
    print("-" * len(header), file=out)
    for row in rows:
        unit = row.get("unit", "s")
        floor = row.get("floor")
        print(f"{row['name'][:62]:<62} {format_value(row['native'], unit):>12} "
              f"{format_value(row['python'], unit):>12} {row['ratio']:>7.2f} "
              f"{format_value(floor, unit) if floor is not None else '':>12}", file=out, flush=True)


def bench_modules():
    return sorted(p.stem for p in HERE.glob("bench_*.py"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer calls and repeats")
    parser.add_argument("--only", action="append", help="run only these bench modules")
    args = parser.parse_args()
    sys.path.insert(0, str(HERE))

    def all_rows():
        for name in args.only or bench_modules():
            module = importlib.import_module(name)
            if not hasattr(module, "rows"):
                print(f"({name}: no rows(); skipped)", file=sys.stderr)
                continue
            try:
                yield from module.rows(quick=args.quick)
            except Exception:
                traceback.print_exc()
                print(f"({name}: failed; its remaining rows are missing)", file=sys.stderr)

    print_table(all_rows())


if __name__ == "__main__":
    main()
