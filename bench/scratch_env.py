"""The benches' own scratch environments for packages measured against or
read from, never dependencies of the project:
~/.cache/pretrain-venvs/bench-<name>-<hash of the requirement>, made on
first use. Returns the environment's interpreter, or None with the reason
when it cannot be made."""
import hashlib
import subprocess
import sys
from pathlib import Path


def location(name, requirement):
    key = hashlib.sha256(requirement.encode()).hexdigest()[:16]
    return Path.home() / ".cache" / "pretrain-venvs" / f"bench-{name}-{key}"


def scratch_python(name, requirement, download, *pip_options):
    """(python, None) or (None, why not); `download` says what is fetched."""
    target = location(name, requirement)
    python = target / "bin" / "python"
    if (target / ".complete").exists():
        return python, None
    print(f"(creating {target}: downloads {download})", file=sys.stderr, flush=True)
    base = getattr(sys, "_base_executable", sys.executable)
    for step in ([base, "-m", "venv", "--clear", str(target)],
                 [str(python), "-m", "pip", "install", "-q", *pip_options, requirement]):
        proc = subprocess.run(step, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if proc.returncode:
            return None, f"the {name} environment could not be made ({proc.stderr.strip()[-200:]})"
    (target / ".complete").touch()
    return python, None
