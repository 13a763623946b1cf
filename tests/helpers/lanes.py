"""The repository's lane scripts (fuzz/, scripts/), imported as the lanes
run them: each folder's modules import their siblings by bare name."""
import importlib
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent


def lane_module(folder, name):
    """The module `name` of the lane folder `folder` ("fuzz", "scripts")."""
    directory = str(REPO / folder)
    if directory not in sys.path:
        sys.path.append(directory)
    return importlib.import_module(name)
