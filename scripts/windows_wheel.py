"""Packs a cross-built install tree into a win_amd64 wheel.

usage: windows_wheel.py STAGE_DIR OUT_DIR

STAGE_DIR is what `cmake --install` of the Windows build wrote (the two
libraries, the companion packages and the sample data); the project's name,
version, requirements and console scripts come from pyproject.toml.
"""
import sys
import tomllib
from pathlib import Path

from wheel_writer import write_wheel

TAG = "cp311-cp311-win_amd64"
REPO = Path(__file__).resolve().parent.parent


def main(stage, out_dir):
    project = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    files = {p.relative_to(stage).as_posix(): p.read_bytes() for p in stage.rglob("*") if p.is_file()}
    if not any(name.endswith(".pyd") for name in files):
        sys.exit(f"windows_wheel: no .pyd under {stage}")
    target = write_wheel(out_dir, files, project, REPO / project.get("readme", "README.md"), TAG,
                         "pretrain scripts/windows_wheel.py")
    print(f"windows: wrote {target.relative_to(REPO) if target.is_relative_to(REPO) else target}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve())
