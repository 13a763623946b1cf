"""The layers of runtime/ (runtime/README.md) and of fastpath/
(fastpath/README.md) only include downwards: every quoted include of a
source file names a header of its own layer or of one below it, in every
branch of the preprocessor, which the build of one platform alone does not
see."""
import re

import pytest

from conftest import REPO

# Each layer, as its folder under the repository, and the layers it may
# include, itself first.
RUNTIME_LAYERS = {
    "runtime/platform": ["runtime/platform"],
    "runtime/core": ["runtime/core", "runtime/platform"],
    "runtime/objects": ["runtime/objects", "runtime/core", "runtime/platform"],
    "runtime/importing": ["runtime/importing", "runtime/objects", "runtime/core", "runtime/platform"],
}
# fastpath/ stands on the runtime's lowest two layers.
FASTPATH_STANDS_ON = ["runtime/core", "runtime/platform"]
FASTPATH_LAYERS = {
    "fastpath/base": ["fastpath/base"],
    "fastpath/paths": ["fastpath/paths", "fastpath/base"],
    "fastpath/images/formats": ["fastpath/images/formats", "fastpath/base"],
    "fastpath/images": ["fastpath/images", "fastpath/images/formats", "fastpath/paths", "fastpath/base"],
}
LAYERS = {**RUNTIME_LAYERS, **{layer: sees + FASTPATH_STANDS_ON for layer, sees in FASTPATH_LAYERS.items()}}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources(layer):
    """The layer's own source files (a layer below it in a subfolder is not its)."""
    return sorted(p for p in (REPO / layer).iterdir() if p.suffix in (".h", ".cpp"))


def layer_of(header):
    found = [layer for layer in LAYERS if (REPO / layer / header).is_file()]
    return found[0] if found else None


def test_every_header_name_is_one_layers():
    """Includes name headers without their folder, and the module bodies see
    every layer: a name in two layers would be whichever comes first."""
    seen = {}
    for layer in LAYERS:
        for source in sources(layer):
            if source.suffix == ".h":
                seen.setdefault(source.name, []).append(layer)
    assert {name: layers for name, layers in seen.items() if len(layers) > 1} == {}


def test_every_source_of_fastpath_is_in_a_layer():
    stray = [str(p.relative_to(REPO)) for p in (REPO / "fastpath").rglob("*")
             if p.suffix in (".h", ".cpp") and str(p.parent.relative_to(REPO)) not in FASTPATH_LAYERS]
    assert not stray


@pytest.mark.parametrize("layer", LAYERS)
def test_layers_include_only_their_own_and_lower_layers(layer):
    wrong = []
    for source in sources(layer):
        for header in INCLUDE.findall(source.read_text(encoding="utf-8")):
            found = layer_of(header)
            if found not in LAYERS[layer]:
                wrong.append(f"{source.relative_to(REPO)} includes {header} ({found or 'no layer'})")
    assert not wrong
