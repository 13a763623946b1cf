"""Run inside the cleanlab scratch environment: cleanlab's find_label_issues
(its defaults) on saved labels and probabilities; writes the positions it
flags.

    python cleanlab_label_issues.py LABELS.npy PROBS.npy OUT.npy
"""
import sys

import numpy as np
from cleanlab.filter import find_label_issues

labels, probs = np.load(sys.argv[1]), np.load(sys.argv[2])
np.save(sys.argv[3], np.flatnonzero(find_label_issues(labels, probs)))
