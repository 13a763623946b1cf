"""The analysis tool as plain Python: the oracle the native module is
compared with. Tests monkeypatch its module attributes the same way as the
native module's."""
import random
from collections import Counter
from glob import glob
from pathlib import Path

from PIL import Image

img_ext = ['.jpg', '.jpeg', '.png', '.bmp', '.gif', '.tiff']


class ClsAnalyzingTool:
    def __init__(self, dataset_path):
        self.dataset_path = dataset_path
        self.path_list = []
        self.classes = []
        self.category_image_map = {}
        self.category_distribution = {}
        self.image_format_distribution = {}
        self.image_size_distribution = {}

    async def get_path_list(self):
        path_list = [Path(p) for p in glob(str(Path(self.dataset_path, '**/*')), recursive=True)]
        self.path_list = [p for p in path_list if p.suffix in img_ext]
        return self.path_list

    async def get_category_distribution(self, callback=None):
        if len(self.path_list) == 0:
            await self.get_path_list()
        category_image_map = {}
        for i, path in enumerate(self.path_list):
            class_name = path.relative_to(self.dataset_path).parts[0]
            if class_name not in category_image_map:
                category_image_map[class_name] = []
            category_image_map[class_name].append(path)
            if callback is not None:
                await callback(i / len(self.path_list))
        counter = {k: len(v) for k, v in category_image_map.items()}
        self.category_distribution = counter
        self.classes = sorted(list(counter.keys()))
        self.category_image_map = category_image_map
        return self.category_distribution

    async def get_image_format_distribution(self):
        if len(self.path_list) == 0:
            await self.get_path_list()
        formats = [path.suffix for path in self.path_list]
        self.image_format_distribution = Counter(formats)
        return self.image_format_distribution

    async def get_image_size_distribution(self, callback=None):
        if len(self.path_list) == 0:
            await self.get_path_list()
        sizes = []
        for i, path in enumerate(self.path_list):
            with Image.open(path) as img:
                sizes.append(str(img.size))
            if callback is not None:
                await callback(i / len(self.path_list))
        self.image_size_distribution = Counter(sizes)
        return self.image_size_distribution

    async def get_random_images(self, n=6, category_balance=True):
        random_images = []
        if category_balance:
            if len(self.category_image_map) == 0:
                await self.get_category_distribution()
            for _ in range(n):
                class_name = random.choice(self.classes)
                random_images.append(random.choice(self.category_image_map[class_name]))
        else:
            if len(self.path_list) == 0:
                await self.get_path_list()
            random_images = random.sample(self.path_list, n)
        return random_images
