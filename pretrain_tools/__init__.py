"""What a config of the `pretrain` package imports beside the package's modules.

    custom_imports = dict(imports=["pretrain.cls_head", "pretrain.image",
                                   "pretrain.datasets", "pretrain_tools"],
                          allow_failed_imports=False)

Importing it registers `LogitAdjustHook` in the stack's `HOOKS` and
`LogitAdjustedLoss` in mmpretrain's `MODELS`, allows the
objects of the stack's checkpoints under torch's `weights_only` loading for
the process (checkpoints.py), and on Windows sets what the stack's
environment report needs (windows.py). The native package is imported by the
config, never by this package's import.
"""
from . import windows

windows.apply()

from . import checkpoints  # noqa: E402
from .logit_adjust import LogitAdjustHook  # noqa: E402
from .logit_adjusted_loss import LogitAdjustedLoss  # noqa: E402
from pretrain_sample_data import sample_digits  # noqa: E402

checkpoints.allow_for_process()

__all__ = ["LogitAdjustHook", "LogitAdjustedLoss", "sample_digits"]
