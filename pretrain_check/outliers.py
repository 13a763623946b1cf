"""Which images stand out below the rest of their dataset on a measure: on a
log scale (blur and information shrink by factors), more than a given number
of robust standard deviations (1.4826 x the median absolute deviation) under
the median. The spread counts as at least FLOOR, so that a dataset of
near-identical images does not flag small differences: with 4 deviations
nothing within exp(-4 x FLOOR), 67 %, of the median is flagged."""
import numpy as np

FLOOR = 0.1
MAD_TO_DEVIATION = 1.4826
SMALLEST = 1e-3  # measures of zero (a flat image's entropy) count as this


def low_outliers(values, measured, spreads):
    """Boolean mask of the measured values that lie more than `spreads`
    robust deviations under the others."""
    if not measured.any():
        return np.zeros(len(values), dtype=bool)
    logs = np.log(np.maximum(values, SMALLEST))
    centre = np.median(logs[measured])
    spread = max(MAD_TO_DEVIATION * np.median(np.abs(logs[measured] - centre)), FLOOR)
    return measured & (logs < centre - spreads * spread)
