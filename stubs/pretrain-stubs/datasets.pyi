import asyncio as asyncio
import logging as logging
import time as time
from collections.abc import Callable, Mapping, Sequence
from typing import Any
from typing import Dict as Dict

import mmpretrain as mmpretrain
from mmcv.transforms.base import BaseTransform as BaseTransform
from mmengine.dataset.base_dataset import Compose as Compose
from mmengine.registry import TRANSFORMS as TRANSFORMS
from mmengine.registry import init_default_scope as init_default_scope
from mmpretrain.datasets.custom import DATASETS as DATASETS
from mmpretrain.datasets.custom import CustomDataset as CustomDataset
from ravelin.pretrain.analyzing_tools import ClsAnalyzingTool as ClsAnalyzingTool

# Every name the module binds, in the order the module binds them.
__all__ = [
    "time",
    "logging",
    "asyncio",
    "Dict",
    "start",
    "TRANSFORMS",
    "Compose",
    "BaseTransform",
    "init_default_scope",
    "CustomDataset",
    "DATASETS",
    "mmpretrain",
    "ClsAnalyzingTool",
    "SplitData",
    "RepeatData",
    "NeuDataset",
    "main",
]

# perf_counter() reading taken while the module was imported.
start: float

# Registered in TRANSFORMS. Keeps results[key][int(n * start):int(n * end)],
# after a seeded shuffle when random is true, and logs one INFO line.
class SplitData(BaseTransform):
    start: float
    end: float
    random: bool
    seed: int | None
    key: str
    def __init__(
        self, start: float = 0, end: float = 0.8, random: bool = True, seed: int | None = 42, key: str = "data_list"
    ) -> None: ...
    def transform(self, results: Dict[str, Any]) -> Dict[str, Any]: ...

# Registered in TRANSFORMS. Repeats results["data_list"] times over.
class RepeatData(BaseTransform):
    times: int
    def __init__(self, times: int = 2) -> None: ...
    def transform(self, results: Dict[str, Any]) -> Dict[str, Any]: ...

# Registered in DATASETS. A class-per-folder dataset; category_map maps folder
# names to target classes; init_pipeline runs over the whole data list.
class NeuDataset(CustomDataset):
    init_pipeline: Compose
    category_map: Mapping[str, str]
    classes: list[str]
    tool: Any
    category_dist: dict[str, int]
    def __init__(
        self,
        init_pipeline: Sequence[dict[str, Any] | Callable[[dict[str, Any]], dict[str, Any] | None]],
        category_map: Mapping[str, str],
        **kwargs: Any,
    ) -> None: ...
    def filter_data(self) -> list[dict[str, Any]]: ...
    async def load_data_list2(self) -> list[dict[str, Any]]: ...
    def load_data_list(self) -> list[dict[str, Any]]: ...

def main() -> None: ...
