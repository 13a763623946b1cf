"""Packs a cross-built install tree into a win_amd64 wheel.

usage: windows_wheel.py STAGE_DIR OUT_DIR

STAGE_DIR is what `cmake --install` of the Windows build wrote (the two
libraries and the sample data); the project's name, version and requirements
come from pyproject.toml. Entries are sorted and dated SOURCE_DATE_EPOCH (or
1980-01-01), so the same build gives the same wheel bytes.
"""
import base64
import hashlib
import os
import sys
import time
import tomllib
import zipfile
from pathlib import Path

TAG = "cp311-cp311-win_amd64"
REPO = Path(__file__).resolve().parent.parent


def metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {requirement}" for requirement in project.get("dependencies", [])]
    readme = REPO / project.get("readme", "README.md")
    text = "\n".join(lines) + "\n"
    if readme.is_file():
        text += "Description-Content-Type: text/markdown\n\n" + readme.read_text(encoding="utf-8")
    return text.encode("utf-8")


def wheel_file():
    return (
        "Wheel-Version: 1.0\n"
        "Generator: pretrain scripts/windows_wheel.py\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {TAG}\n"
    ).encode("ascii")


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return f"{name},sha256={digest},{len(data)}"


def main(stage, out_dir):
    project = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    distribution = project["name"].replace("-", "_")
    info = f"{distribution}-{project['version']}.dist-info"

    files = {}
    for path in sorted(p for p in stage.rglob("*") if p.is_file()):
        files[path.relative_to(stage).as_posix()] = path.read_bytes()
    if not any(name.endswith(".pyd") for name in files):
        sys.exit(f"windows_wheel: no .pyd under {stage}")
    files[f"{info}/METADATA"] = metadata(project)
    files[f"{info}/WHEEL"] = wheel_file()
    record = [record_line(name, data) for name, data in files.items()] + [f"{info}/RECORD,,"]
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode("utf-8")

    epoch = max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)
    stamp = time.gmtime(epoch)[:6]
    out_dir.mkdir(parents=True, exist_ok=True)
    target = out_dir / f"{distribution}-{project['version']}-{TAG}.whl"
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = 0o644 << 16
            wheel.writestr(entry, data)
    print(f"windows: wrote {target.relative_to(REPO) if target.is_relative_to(REPO) else target}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve())
