from typing import Any
from typing import Tuple as Tuple

import torch as torch
from mmpretrain.models.heads.linear_head import LinearClsHead as BaseLinearClsHead
from mmpretrain.registry import MODELS as MODELS
from ravelin.base.meta_class import MetaClass as MetaClass

# Every name the module binds, in the order the module binds them.
__all__ = [
    "Tuple",
    "torch",
    "BaseLinearClsHead",
    "MODELS",
    "MetaClass",
    "LinearClsHead",
]

# Registered in MODELS as "LinearClsHead" (force=True): replaces the stack's head.
class LinearClsHead(BaseLinearClsHead, metaclass=MetaClass):
    # Not set by the head: the classifier's prediction subtracts it from the
    # class scores, so whoever builds the model assigns it.
    bias: float | torch.Tensor
    def forward(self, feats: Tuple[torch.Tensor], **kwargs: Any) -> torch.Tensor: ...
