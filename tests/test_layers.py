"""The runtime's layers (runtime/README.md) only include downwards: every
quoted include of a source file names a header of its own layer or of one
below it, in every branch of the preprocessor, which the build of one
platform alone does not see."""
import re

import pytest

from conftest import REPO

RUNTIME = REPO / "runtime"
# Each layer and the layers it may include, itself first.
LAYERS = {
    "platform": ["platform"],
    "core": ["core", "platform"],
    "objects": ["objects", "core", "platform"],
    "importing": ["importing", "objects", "core", "platform"],
}
# fastpath/ stands on the runtime's lowest two layers.
FASTPATH_SEES = ["core", "platform"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources(folder):
    return sorted(p for p in folder.rglob("*") if p.suffix in (".h", ".cpp"))


def runtime_layer_of(header):
    found = [layer for layer in LAYERS if (RUNTIME / layer / header).is_file()]
    assert len(found) <= 1, f"{header} is in more than one layer: {found}"
    return found[0] if found else None


@pytest.mark.parametrize("layer", LAYERS)
def test_runtime_layers_include_only_their_own_and_lower_layers(layer):
    wrong = []
    for source in sources(RUNTIME / layer):
        for header in INCLUDE.findall(source.read_text(encoding="utf-8")):
            if runtime_layer_of(header) not in LAYERS[layer]:
                wrong.append(f"{source.relative_to(REPO)} includes {header}")
    assert not wrong


def test_fastpath_stands_on_core_and_platform_only():
    wrong = []
    for source in sources(REPO / "fastpath"):
        for header in INCLUDE.findall(source.read_text(encoding="utf-8")):
            layer = runtime_layer_of(header)
            if layer is None:
                assert (REPO / "fastpath" / header).is_file(), f"{source.relative_to(REPO)}: {header} not found"
            elif layer not in FASTPATH_SEES:
                wrong.append(f"{source.relative_to(REPO)} includes {header} ({layer}/)")
    assert not wrong
