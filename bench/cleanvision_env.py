"""The bench's scratch environment for CleanVision, the peer the image checks
are measured against (scratch_env.py)."""
from scratch_env import scratch_python

REQUIREMENT = "cleanvision==0.3.7"
DOWNLOAD = ("cleanvision 0.3.7 and its dependencies (pandas, scipy, matplotlib, numpy, Pillow, "
            "imagehash and the rest): about 110 MB of wheels, 450 MB on disk")


def cleanvision_python():
    """(python, None) or (None, why not)."""
    return scratch_python("cleanvision", REQUIREMENT, DOWNLOAD)
