"""The stand-in base library as a distribution of its own
(support/, pretrain-ravelin-standin): installed on request, never over
another `ravelin`."""
import os
import subprocess
import sys

from conftest import REPO

INSTALL = REPO / "scripts" / "install_ravelin_standin.sh"


def new_venv(path):
    subprocess.run([sys._base_executable, "-m", "venv", "--without-pip", str(path)], check=True, timeout=300)
    site = path / "lib" / "python3.11" / "site-packages"
    # pip (and setuptools for the build) from the environment running the tests.
    shared = [p for p in sys.path if p.endswith("site-packages")]
    (site / "_test_tools.pth").write_text("".join(f"{p}\n" for p in shared))
    return path / "bin" / "python", site


def install(python):
    env = {**os.environ, "PYTHONPATH": str(REPO / "support")}  # must not fool the check
    return subprocess.run(["bash", str(INSTALL), str(python)], env=env, capture_output=True, text=True, timeout=600)


def test_the_stand_in_is_never_installed_over_another_ravelin(tmp_path):
    python, site = new_venv(tmp_path / "venv")
    theirs = site / "ravelin" / "__init__.py"
    theirs.parent.mkdir()
    theirs.write_text("ORIGIN = 'the platform'\n")
    proc = install(python)
    assert proc.returncode == 1
    assert f"already has a ravelin ({theirs})" in proc.stderr and "not installed" in proc.stderr
    assert theirs.read_text() == "ORIGIN = 'the platform'\n"
    assert sorted(p.name for p in site.iterdir()) == ["_test_tools.pth", "ravelin"]


def test_the_stand_in_installs_under_its_own_name_and_updates_itself(tmp_path):
    python, site = new_venv(tmp_path / "venv")
    first, again = install(python), install(python)
    assert (first.returncode, again.returncode) == (0, 0), first.stderr + again.stderr
    assert "installing the stand-in" in first.stdout and "updating the stand-in" in again.stdout
    shown = subprocess.run([str(python), "-c", "import importlib.metadata as md, ravelin.base.meta_class as m;"
                            "print(md.version('pretrain-ravelin-standin'), m.__file__)"],
                           env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"},
                           capture_output=True, text=True, timeout=300)
    folder = site / "pretrain-ravelin-standin"
    assert shown.stdout.split() == ["0.1.0", str(folder / "ravelin" / "base" / "meta_class.py")]
    assert not (REPO / "support" / "build").exists()


def test_the_wheel_installed_by_plain_pip_leaves_another_ravelin_first_and_unchanged(tmp_path):
    python, site = new_venv(tmp_path / "venv")
    theirs = site / "ravelin" / "__init__.py"
    theirs.parent.mkdir()
    theirs.write_text("ORIGIN = 'the platform'\n")
    subprocess.run([sys.executable, str(REPO / "scripts" / "standin_wheel.py"), str(tmp_path / "dist")],
                   check=True, capture_output=True, timeout=300)
    (wheel,) = (tmp_path / "dist").glob("pretrain_ravelin_standin-0.1.0-py3-none-any.whl")
    clean = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index", str(wheel)],
                   check=True, env=clean, capture_output=True, timeout=600)
    shown = subprocess.run([str(python), "-c", "import ravelin; print(ravelin.ORIGIN)"],
                           env=clean, capture_output=True, text=True, timeout=300)
    assert shown.stdout.strip() == "the platform"
    assert theirs.read_text() == "ORIGIN = 'the platform'\n"
