"""Writes a wheel from a dict of archive names to bytes: METADATA from a
pyproject [project] table, WHEEL, entry_points.txt for its scripts, RECORD.
Entries are sorted and dated SOURCE_DATE_EPOCH (or 1980-01-01), so the same
files give the same wheel bytes."""
import base64
import hashlib
import os
import time
import zipfile


def metadata(project, readme):
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {project['version']}"]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {requirement}" for requirement in project.get("dependencies", [])]
    text = "\n".join(lines) + "\n"
    if readme.is_file():
        text += "Description-Content-Type: text/markdown\n\n" + readme.read_text(encoding="utf-8")
    return text.encode("utf-8")


def entry_points(project):
    scripts = project.get("scripts", {})
    if not scripts:
        return None
    return ("[console_scripts]\n" + "".join(f"{name} = {target}\n" for name, target in scripts.items())).encode()


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return f"{name},sha256={digest},{len(data)}"


def write_wheel(out_dir, files, project, readme, tag, generator):
    """The wheel of `files` for `project` with `tag` (py3-none-any: pure) in out_dir."""
    distribution = project["name"].replace("-", "_")
    info = f"{distribution}-{project['version']}.dist-info"
    files = dict(sorted(files.items()))
    files[f"{info}/METADATA"] = metadata(project, readme)
    files[f"{info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: {generator}\n"
                              f"Root-Is-Purelib: {'true' if tag.endswith('-any') else 'false'}\nTag: {tag}\n").encode()
    if entry_points(project):
        files[f"{info}/entry_points.txt"] = entry_points(project)
    record = [record_line(name, data) for name, data in files.items()] + [f"{info}/RECORD,,"]
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode("utf-8")

    epoch = max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)
    stamp = time.gmtime(epoch)[:6]
    out_dir.mkdir(parents=True, exist_ok=True)
    target = out_dir / f"{distribution}-{project['version']}-{tag}.whl"
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = 0o644 << 16
            wheel.writestr(entry, data)
    return target
