"""The label bench's scratch environment for cleanlab, the peer
`label_issues` is measured against (scratch_env.py), made on first use."""
from scratch_env import scratch_python

REQUIREMENT = "cleanlab==2.9.0"
DOWNLOAD = ("cleanlab 2.9.0 and its dependencies (numpy, scikit-learn, scipy, pandas and the rest): "
            "about 80 MB of wheels, 400 MB on disk")


def cleanlab_python():
    return scratch_python("cleanlab", REQUIREMENT, DOWNLOAD)
