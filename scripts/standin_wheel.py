"""Writes the wheel of the stand-in base library (support/, distribution
pretrain-ravelin-standin) into OUT_DIR.

usage: standin_wheel.py OUT_DIR

The package `ravelin` goes into its own folder of site-packages,
pretrain-ravelin-standin/, which a .pth file puts at the end of sys.path.
Installing the wheel therefore never writes over the files of another
`ravelin`, and a `ravelin` of another origin, anywhere on the path before it,
is the one imported: the stand-in only fills in where there is none.
"""
import sys
import tomllib
from pathlib import Path

from wheel_writer import write_wheel

SUPPORT = Path(__file__).resolve().parent.parent / "support"
FOLDER = "pretrain-ravelin-standin"  # not an importable name: only the .pth reaches it


def main(out_dir):
    project = tomllib.loads((SUPPORT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    files = {f"{FOLDER}/{p.relative_to(SUPPORT).as_posix()}": p.read_bytes()
             for p in sorted((SUPPORT / "ravelin").rglob("*.py"))}
    files[f"{FOLDER}.pth"] = f"{FOLDER}\n".encode()
    files[f"{FOLDER}/LICENSE"] = (SUPPORT / "LICENSE").read_bytes()
    target = write_wheel(out_dir, files, project, SUPPORT / "README.md", "py3-none-any",
                         "pretrain scripts/standin_wheel.py")
    print(f"wrote {target}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(Path(sys.argv[1]).resolve())
