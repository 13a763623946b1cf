"""The plain-Python reference of every module, the one the tests and the
benchmarks compare with: the Python source that each pretrain/<module>.cpp
carries in its comment header, written out as a package `pyref` and imported
like any Python package. Its line numbers are the header's, which are the
lines the native bodies mark.

    write_reference_package(directory, for_same_process=True)

With for_same_process the registry decorators get force=True, so that the
reference classes can be registered beside the native ones in one process
(benchmarks pass the classes themselves as `type`, never the names).
"""
import re
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
MODULES = ("analyzing_tools", "cls_head", "datasets", "image")

_NUMBERED = re.compile(r"^// {1,4}(\d+)(?:  (.*))?$")


def module_source(name):
    """The Python text in the comment header of pretrain/<name>.cpp."""
    header = []
    for line in (REPO / "pretrain" / f"{name}.cpp").read_text(encoding="utf-8").splitlines():
        if not line.startswith("//"):
            break
        header.append(line)
    numbered = [m for m in map(_NUMBERED.match, header) if m]
    if numbered:
        return "\n".join(m.group(2) or "" for m in numbered) + "\n"
    body = []
    started = False
    for line in header:
        if line.startswith("//   "):
            started = True
            body.append(line[5:])
        elif started:
            body.append("")
    return "\n".join(body).rstrip() + "\n"


def source_name(name):
    """The file name tracebacks give for code compiled from module_source(name)."""
    return f"<reference of pretrain/{name}.cpp>"


def write_reference_package(directory, for_same_process=True, registering=True, package_name="pyref"):
    """Writes directory/<package_name>/ and returns directory (to put on
    sys.path). Without registering, the registry decorators are left out
    (their lines kept empty) and the classes are only bound in their modules."""
    package = Path(directory) / package_name
    package.mkdir(parents=True, exist_ok=True)
    (package / "__init__.py").write_text("")
    for name in MODULES:
        text = module_source(name)
        text = text.replace("from ravelin.pretrain.analyzing_tools import",
                            f"from {package_name}.analyzing_tools import")
        text = text.replace("sample_dataset_directory()", "None")
        if not registering:
            text = re.sub(r"(?m)^@\w+\.register_module\(.*\)$", "", text)
        elif for_same_process:
            text = text.replace(".register_module()", ".register_module(force=True)")
        (package / f"{name}.py").write_text(text, encoding="utf-8")
    return Path(directory)


def import_reference(directory):
    """Writes and imports the same-process reference package; returns it."""
    write_reference_package(directory, for_same_process=True)
    if str(directory) not in sys.path:
        sys.path.insert(0, str(directory))
    import pyref.analyzing_tools
    import pyref.cls_head
    import pyref.datasets
    import pyref.image
    return pyref
