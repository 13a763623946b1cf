"""The bench's own scratch environment for CleanVision, the peer the image
checks are measured against: ~/.cache/pretrain-venvs/bench-cleanvision-<hash
of the requirement>, made on first use (never a dependency of the project).
Returns its interpreter, or None with the reason when it cannot be made."""
import hashlib
import subprocess
import sys
from pathlib import Path

REQUIREMENT = "cleanvision==0.3.7"
DOWNLOAD = ("cleanvision 0.3.7 and its dependencies (pandas, scipy, matplotlib, numpy, Pillow, "
            "imagehash and the rest): about 110 MB of wheels, 450 MB on disk")


def location():
    key = hashlib.sha256(REQUIREMENT.encode()).hexdigest()[:16]
    return Path.home() / ".cache" / "pretrain-venvs" / f"bench-cleanvision-{key}"


def cleanvision_python():
    """(python, None) or (None, why not)."""
    target = location()
    python = target / "bin" / "python"
    if (target / ".complete").exists():
        return python, None
    print(f"(creating {target}: downloads {DOWNLOAD})", file=sys.stderr, flush=True)
    base = getattr(sys, "_base_executable", sys.executable)
    for step in ([base, "-m", "venv", "--clear", str(target)],
                 [str(python), "-m", "pip", "install", "-q", REQUIREMENT]):
        proc = subprocess.run(step, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if proc.returncode:
            return None, f"the CleanVision environment could not be made ({proc.stderr.strip()[-200:]})"
    (target / ".complete").touch()
    return python, None
