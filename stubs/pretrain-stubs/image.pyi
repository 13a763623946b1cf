from typing import Any
from typing import List as List
from typing import Optional as Optional

import torch as torch
from mmpretrain.models.classifiers.image import ImageClassifier as BaseImageClassifier
from mmpretrain.registry import MODELS as MODELS
from mmpretrain.structures import DataSample as DataSample
from ravelin.base.meta_class import MetaClass as MetaClass

# Every name the module binds, in the order the module binds them.
__all__ = [
    "List",
    "Optional",
    "torch",
    "BaseImageClassifier",
    "MODELS",
    "DataSample",
    "MetaClass",
    "ImageClassifier",
]

# Registered in MODELS as "ImageClassifier" (force=True): replaces the stack's classifier.
class ImageClassifier(BaseImageClassifier, metaclass=MetaClass):
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def loss(self, inputs: torch.Tensor, data_samples: List[DataSample]) -> dict[str, torch.Tensor]: ...
    def predict(
        self, inputs: torch.Tensor, data_samples: Optional[List[DataSample]] = None, **kwargs: Any
    ) -> List[DataSample]: ...
