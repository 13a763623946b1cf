"""The example config that ships with the package: the digit classifier of
pretrain_tools/configs/digits.py, written out for the stack's own tools by
`pretrain-sample-data --config DIR`."""
import importlib.util
import shutil
from pathlib import Path


def example_config() -> Path:
    """The installed copy, found without importing pretrain_tools (which
    imports torch and the mm stack)."""
    spec = importlib.util.find_spec("pretrain_tools")
    assert spec is not None and spec.submodule_search_locations, "pretrain_tools is not installed"
    return Path(list(spec.submodule_search_locations)[0]) / "configs" / "digits.py"


def write_example_config(folder: str) -> Path:
    """Copies the example config into `folder` (made when missing) as digits.py."""
    source = example_config()
    target = Path(folder) / source.name
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(source, target)
    return target
