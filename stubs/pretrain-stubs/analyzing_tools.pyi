import random as random
from collections import Counter as Counter
from collections.abc import Awaitable, Callable
from glob import glob as glob
from os import PathLike
from pathlib import Path as Path
from typing import TypeAlias

from PIL import Image as Image

# Every name the module binds, in the order the module binds them.
__all__ = [
    "random",
    "Counter",
    "glob",
    "Path",
    "Image",
    "img_ext",
    "ClsAnalyzingTool",
    "main",
]

# Called with the progress (0.0 to 1.0); what it returns is awaited.
_ProgressCallback: TypeAlias = Callable[[float], Awaitable[object]]

img_ext: list[str]

class ClsAnalyzingTool:
    dataset_path: str | PathLike[str]
    path_list: list[Path]
    classes: list[str]
    category_image_map: dict[str, list[Path]]
    category_distribution: dict[str, int]
    image_format_distribution: dict[str, int]
    image_size_distribution: dict[str, int]
    def __init__(self, dataset_path: str | PathLike[str]) -> None: ...
    async def get_path_list(self) -> list[Path]: ...
    async def get_data_list(self, callback: _ProgressCallback | None = None) -> None: ...
    async def get_category_distribution(self, callback: _ProgressCallback | None = None) -> dict[str, int]: ...
    async def get_image_format_distribution(self) -> Counter[str]: ...
    async def get_image_size_distribution(self, callback: _ProgressCallback | None = None) -> Counter[str]: ...
    async def get_random_images(self, n: int = 6, category_balance: bool = True) -> list[Path]: ...

async def main() -> None: ...
