"""The binary wheel as a user gets it: its tag, metadata and contents, and an
install into a new environment outside the checkout, with and without the
stand-in base library."""
import email.parser
import os
import platform
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest
from packaging.requirements import Requirement

from conftest import REPO

from helpers.lanes import lane_module

read_cells = lane_module("scripts", "run_matrix").read_cells

STUB_FILES = {f"pretrain-stubs/{m}.pyi" for m in ("__init__", "analyzing_tools", "cls_head", "datasets", "image")}
SAMPLE_IMAGES = sorted(p.relative_to(REPO / "data").as_posix() for p in (REPO / "data" / "digits").rglob("*.png"))


def venv_bin(name):
    return Path(sys.executable).parent / name


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    if not venv_bin("auditwheel").exists():
        pytest.fail("auditwheel is missing from this environment; run make venv (tools.txt)")
    out = tmp_path_factory.mktemp("wheel")
    proc = subprocess.run(["bash", str(REPO / "scripts" / "build_wheel.sh"), sys.executable],
                          env={**os.environ, "WHEEL_DIR": str(out)}, cwd=REPO,
                          capture_output=True, text=True, timeout=1200)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    (path,) = out.glob("pretrain-*.whl")
    return path


def metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return email.parser.Parser().parsestr(archive.read("pretrain-0.1.0.dist-info/METADATA").decode())


def test_wheel_is_a_manylinux_wheel_that_auditwheel_accepts(wheel):
    assert re.fullmatch(rf"pretrain-0\.1\.0-cp311-cp311-manylinux_2_\d+_{platform.machine()}\.whl", wheel.name)
    shown = subprocess.run([str(venv_bin("auditwheel")), "show", str(wheel)],
                           capture_output=True, text=True, timeout=300)
    assert shown.returncode == 0, shown.stderr
    assert "is consistent with the following platform tag" in " ".join(shown.stdout.split())


COMPANIONS = {f"pretrain_tools/{m}.py" for m in ("__init__", "checkpoints", "logit_adjust", "windows", "cpu_child")} | {
    "pretrain_tools/configs/digits.py", "pretrain_tools/py.typed", "pretrain_check/py.typed"}


def companion_files(archive_names):
    """The companion packages' files: what is in the checkout, no byte code."""
    on_disk = {p.relative_to(REPO).as_posix() for package in ("pretrain_tools", "pretrain_check")
               for p in (REPO / package).rglob("*")
               if p.is_file() and "__pycache__" not in p.parts and p.suffix != ".pyc"}
    assert COMPANIONS <= on_disk
    return on_disk


def test_wheel_holds_the_libraries_stubs_companions_one_sample_archive_and_the_licence(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = {n for n in archive.namelist() if not n.endswith("/")}
        record = archive.read("pretrain-0.1.0.dist-info/RECORD").decode().splitlines()
        with zipfile.ZipFile(archive.open("pretrain_sample_data/digits.zip")) as sample:
            sample_names = sample.namelist()
    libraries = {n for n in names if n.endswith(".so")}
    assert {n.split(".")[0] for n in libraries} == {"pretrain", "__pycache__"}
    assert names == libraries | STUB_FILES | companion_files(names) | {
        "pretrain_sample_data/digits.zip",
        "pretrain_sample_data/__init__.py",
        "pretrain-0.1.0.dist-info/entry_points.txt",
        "pretrain-0.1.0.dist-info/METADATA",
        "pretrain-0.1.0.dist-info/WHEEL",
        "pretrain-0.1.0.dist-info/RECORD",
        "pretrain-0.1.0.dist-info/licenses/LICENSE",
    }
    assert len(record) == len(names)
    with zipfile.ZipFile(wheel) as archive:
        scripts = archive.read("pretrain-0.1.0.dist-info/entry_points.txt").decode().split()
    assert "pretrain-check" in scripts and "pretrain-sample-data" in scripts
    assert sample_names == SAMPLE_IMAGES and len(sample_names) == 1797


def test_wheel_contains_no_path_of_the_checkout_or_the_build(wheel):
    leaks = [os.fsencode(REPO), os.fsencode(REPO.resolve()), os.fsencode(Path.home())]
    with zipfile.ZipFile(wheel) as archive:
        for name in archive.namelist():
            data = archive.read(name)
            assert not [leak for leak in leaks if leak in data], name


def test_metadata_names_licence_urls_classifiers_and_the_tested_bounds(wheel):
    meta = metadata(wheel)
    assert meta["License-Expression"] == "MIT" and meta["License-File"] == "LICENSE"
    assert meta["Requires-Python"] == "<3.12,>=3.11"
    assert "Programming Language :: Python :: 3.11" in meta.get_all("Classifier")
    assert {url.split(",")[0] for url in meta.get_all("Project-URL")} >= {"Homepage", "Source", "Issues"}
    pins = dict(line.split("==") for line in (REPO / "constraints.txt").read_text().splitlines()
                if "==" in line and not line.startswith("#"))
    cells = [cell_pins for _, cell_pins in read_cells()]
    requirements = [Requirement(r) for r in meta.get_all("Requires-Dist")]
    for requirement in requirements:
        for cell in cells:
            version = cell.get(requirement.name, pins[requirement.name])
            assert requirement.specifier.contains(version), (requirement, version)
        if requirement.name in cells[0]:
            # Tried from the oldest cell on, open above.
            assert str(requirement.specifier) == f">={cells[0][requirement.name]}", requirement
        else:
            assert {">=", "<"} <= {spec.operator for spec in requirement.specifier}, requirement
    assert set(cells[0]) <= {r.name for r in requirements}
    assert str(next(r for r in requirements if r.name == "mmpretrain").specifier) == "<1.3,>=1.2"


def test_readme_tested_with_table_names_every_matrix_cell():
    readme = (REPO / "README.md").read_text()
    section = readme[readme.index("## Tested with"):].split("\n## ")[0]
    for name, cell_pins in read_cells():
        (row,) = [line for line in section.splitlines() if line.startswith(f"| {name} |")]
        assert all(f" {version} " in row for version in cell_pins.values()), row


def shared_stack_pth():
    site = Path(sys.executable).parent.parent / "lib" / "python3.11" / "site-packages"
    pth = site / "_pretrain_shared_stack.pth"
    if not pth.is_file():
        pytest.skip("not running in a clone's .venv over the cached stack (scripts/ensure_venv.sh)")
    return pth


def run_in(venv, code, cwd, **env):
    child_env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    child_env.update(env)
    return subprocess.run([str(venv / "bin" / "python"), "-c", code], cwd=cwd, env=child_env,
                          capture_output=True, text=True, timeout=600)


def test_wheel_installs_into_a_new_environment_with_and_without_the_stand_in(wheel, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys._base_executable, "-m", "venv", "--without-pip", str(venv)], check=True, timeout=300)
    site = venv / "lib" / "python3.11" / "site-packages"
    # The pinned stack comes from the cached environment, as in every clone's .venv.
    (site / "_pretrain_shared_stack.pth").write_text(shared_stack_pth().read_text())
    install = subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--no-index", str(wheel)],
                             cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert install.returncode == 0, install.stdout + install.stderr

    without = run_in(venv, """
import pretrain, pretrain.analyzing_tools
print(pretrain.__file__)
try:
    import pretrain.cls_head
except ModuleNotFoundError as error:
    print(error)
""", cwd=tmp_path)
    assert without.returncode == 0, without.stderr
    assert without.stdout.splitlines() == [str(site / "pretrain" / "__init__.py"), "No module named 'ravelin'"]

    standin = subprocess.run(["bash", str(REPO / "scripts" / "install_ravelin_standin.sh"), str(venv / "bin" / "python")],
                             capture_output=True, text=True, timeout=600)
    assert standin.returncode == 0, standin.stderr
    cache = tmp_path / "cache"
    with_standin = run_in(venv, """
import asyncio, os, ravelin
import pretrain.analyzing_tools, pretrain.cls_head, pretrain.datasets, pretrain.image
from mmpretrain.registry import MODELS
from pretrain_check.sample_data import sample_digits
print(ravelin.__file__)
print(MODELS.get("LinearClsHead") is pretrain.cls_head.LinearClsHead)
asyncio.run(pretrain.analyzing_tools.main())
print(sample_digits())
""", cwd=tmp_path, XDG_CACHE_HOME=str(cache))
    assert with_standin.returncode == 0, with_standin.stderr
    lines = with_standin.stdout.splitlines()
    assert str(site / "pretrain-ravelin-standin" / "ravelin" / "__init__.py") in lines and "True" in lines
    # The sample dataset came out of the installed wheel's archive, and the
    # companion finds the folder the native module unpacked it into.
    assert lines[-2].endswith("Counter({'(8, 8)': 1797})")
    (unpacked,) = cache.glob("pretrain/sample-*/digits")
    assert lines[-1] == str(unpacked)
    assert len(list(unpacked.glob("*/*.png"))) == 1797
