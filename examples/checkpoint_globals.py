"""Loading mmengine checkpoints under torch.load's `weights_only` default.

Besides tensors, a checkpoint that mmengine's CheckpointHook writes holds the
message hub's `HistoryBuffer`s (numpy arrays, and the buffer's statistics
methods, pickled through `getattr`). These are allow-listed for the duration of
a load only; torch's checks stay on for everything else.

    with trusted_checkpoint_globals():
        runner.test()          # loads cfg.load_from
"""
import numpy as np
import torch
from mmengine.logging import HistoryBuffer

CHECKPOINT_GLOBALS = [
    HistoryBuffer,
    getattr,
    np.ndarray,
    np.dtype,
    np.core.multiarray._reconstruct,
    np.core.multiarray.scalar,
    *(type(np.dtype(t)) for t in (np.float64, np.float32, np.int64, np.int32, np.bool_)),
]


def trusted_checkpoint_globals():
    return torch.serialization.safe_globals(CHECKPOINT_GLOBALS)
