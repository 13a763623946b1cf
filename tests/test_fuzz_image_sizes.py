"""The image size fuzz lane (fuzz/image_sizes.py) finds what it is for: a
scan that gives another size or raises for one file is bisected to that file,
which is reported and saved; equal scans report nothing."""
import random
import types
from pathlib import Path

import pytest
from PIL import Image

from helpers.lanes import lane_module

image_seeds = lane_module("fuzz", "image_seeds")
image_sizes = lane_module("fuzz", "image_sizes")


@pytest.fixture
def cases():
    seeds = [s for s in image_seeds.seeds(random.Random(4)) if s.variant.startswith("pillow:")]
    rng = random.Random(5)
    return [image_sizes.Case(i, seed, True, f"case {i}", seed.data)
            for i, seed in enumerate(rng.choice(seeds) for _ in range(120))]


def run_batch(cases, tmp_path, capsys):
    state = {"bisections": 0, "max_bisections": 5}
    found, _ = image_sizes.check_batch(random.Random(6), 77, cases, tmp_path / "batch", tmp_path / "failures", [],
                                       state)
    return found, capsys.readouterr().out


def test_equal_scans_report_nothing(cases, tmp_path, capsys):
    found, out = run_batch(cases, tmp_path, capsys)
    assert found == 0 and "DIFFERENCE" not in out


@pytest.mark.parametrize("fault", ["size", "error"])
def test_a_scan_wrong_on_one_file_is_bisected_to_it(cases, tmp_path, capsys, monkeypatch, fault):
    wrong = cases[67]

    def lying_open(path):
        if str(path) == str(wrong.path):
            if fault == "error":
                raise ValueError("planted")
            return Image.new("L", (3, 4))
        return Image.open(path)
    # The native scan calls the module's Image.open as written once it is not Pillow's.
    monkeypatch.setattr(image_sizes.native, "Image", types.SimpleNamespace(open=lying_open))
    found, out = run_batch(cases, tmp_path, capsys)
    assert found == 1
    assert "DIFFERENCE (seed 77), 1 file(s)" in out and "file 67 " in out and "case 67" in out
    assert (tmp_path / "failures" / f"seed77-000067{Path(wrong.path).suffix}").read_bytes() == wrong.data
