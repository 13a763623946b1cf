"""Loading mmengine checkpoints under torch.load's `weights_only` default.

Besides tensors, a checkpoint that mmengine's CheckpointHook writes holds the
message hub's `HistoryBuffer`s (numpy arrays, and the buffer's statistics
methods, pickled through `getattr`). Exactly these objects are allow-listed;
torch's checks stay on for everything else. Importing `pretrain_tools` allows
them for the process, so the stack's own `tools/test.py CONFIG CHECKPOINT`
loads what its training wrote. There is no scoped form on purpose: torch's
`safe_globals` context manager removes on exit every global it names, also
those allowed for the process before it.
"""
import numpy as np
import torch
from mmengine.logging import HistoryBuffer

if np.lib.NumpyVersion(np.__version__) >= "2.0.0":
    from numpy._core import multiarray as _multiarray
else:
    from numpy.core import multiarray as _multiarray

CHECKPOINT_GLOBALS = [
    HistoryBuffer,
    getattr,
    np.ndarray,
    np.dtype,
    _multiarray._reconstruct,
    _multiarray.scalar,
    *(type(np.dtype(t)) for t in (np.float64, np.float32, np.int64, np.int32, np.bool_)),
]


def allow_for_process():
    torch.serialization.add_safe_globals(CHECKPOINT_GLOBALS)

