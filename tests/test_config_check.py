"""pretrain-check --config on NeuDataset + SplitData configs: the parts'
class counts, and leakage between the parts (the same file, the same bytes,
a resized and recompressed copy) found and grouped."""
import shutil

import pytest
from PIL import Image

from conftest import run_python
from harness.planted_dataset import resized_copy, save, plant
from helpers.summaries import load_summary

CONFIG = """
custom_imports = dict(imports=["pretrain.datasets"], allow_failed_imports=False)
default_scope = "mmpretrain"
category_map = {{"class_0": "cat", "class_1": "dog"}}
train_dataloader = dict(dataset=dict(type="NeuDataset", data_root={train!r}, category_map=category_map,
    init_pipeline=[dict(type="SplitData", start=0.0, end={train_end}, random=True, seed=3)]))
val_dataloader = dict(dataset=dict(type="NeuDataset", data_root={val!r}, category_map=category_map,
    init_pipeline=[dict(type="SplitData", start={val_start}, end=1.0, random=True, seed=3)]))
"""


@pytest.fixture(scope="module")
def photos(tmp_path_factory):
    root = tmp_path_factory.mktemp("photos")
    plant(root / "all", per_class=25, classes=2, size=(96, 72), problems=False)
    return root


def check(tmp_path, *flags, **parts):
    config = tmp_path / "parts.py"
    config.write_text(CONFIG.format(**parts))
    summary = tmp_path / "summary.json"
    proc = run_python(None, check=False, args=["-m", "pretrain_check", "--config", str(config),
                                               "--json", str(summary), "--quiet", *flags])
    assert proc.returncode in (0, 1), proc.stderr
    return proc, load_summary(summary)


def test_disjoint_split_has_no_leakage(photos, tmp_path):
    root = str(photos / "all")
    proc, summary = check(tmp_path, train=root, val=root, train_end=0.8, val_start=0.8)
    assert proc.returncode == 0, proc.stdout
    assert summary["parts"]["train"]["images"] == 40 and summary["parts"]["val"]["images"] == 10
    assert sum(summary["parts"]["val"]["classes"].values()) == 10
    assert set(summary["parts"]["train"]["classes"]) <= {"cat", "dog"}
    assert summary["problems"]["leakage"]["count"] == 0
    assert "no problems found" in proc.stdout


def test_overlapping_splits_leak_the_same_files(photos, tmp_path):
    root = str(photos / "all")
    proc, summary = check(tmp_path, train=root, val=root, train_end=0.8, val_start=0.7)
    assert proc.returncode == 1
    groups = summary["problems"]["leakage"]["groups"]
    assert len(groups) == 5  # 10 % of 50 images sit in both parts
    assert all(g["how"] == "same file" and g["parts"] == ["train", "val"] for g in groups)


def test_copies_across_parts_leak(photos, tmp_path):
    train, val = tmp_path / "train", tmp_path / "val"
    shutil.copytree(photos / "all", train)
    for name in ("class_0", "class_1"):
        (val / name).mkdir(parents=True)
    original = train / "class_0" / "00003.jpg"
    shutil.copy(original, val / "class_1" / "same.jpg")
    with Image.open(train / "class_1" / "00007.jpg") as image:
        save(resized_copy(image.convert("RGB"), scale=1.3), val / "class_0" / "resized.jpg", quality=70)
    for n in range(4):
        shutil.copy(photos / "all" / "class_0" / f"{20 + n:05d}.jpg", val / "class_0" / f"{n}.jpg")
        (train / "class_0" / f"{20 + n:05d}.jpg").unlink()
    report = tmp_path / "leaks.png"
    proc, summary = check(tmp_path, "--report", str(report), train=str(train), val=str(val),
                          train_end=1.0, val_start=0.0)
    assert proc.returncode == 1
    leaks = {g["how"]: g["files"] for g in summary["problems"]["leakage"]["groups"]}
    assert leaks == {"same bytes": sorted([str(original), str(val / "class_1" / "same.jpg")]),
                     "near duplicates": sorted([str(train / "class_1" / "00007.jpg"),
                                                str(val / "class_0" / "resized.jpg")])}
    assert "train & val (near duplicates): " in proc.stdout
    with Image.open(report) as image:
        assert image.format == "PNG"


def test_parts_built_from_the_same_settings_are_one_dataset_not_leakage(photos, tmp_path):
    root = str(photos / "all")
    config = tmp_path / "parts.py"
    config.write_text(CONFIG.format(train=root, val=root, train_end=0.8, val_start=0.8)
                      + "test_dataloader = val_dataloader\n")
    summary_file = tmp_path / "summary.json"
    proc = run_python(None, check=False, args=["-m", "pretrain_check", "--config", str(config),
                                               "--json", str(summary_file), "--quiet"])
    assert proc.returncode == 0, proc.stdout + proc.stderr
    summary = load_summary(summary_file)
    assert summary["parts"]["test"] == {**summary["parts"]["val"], "same_as": "val"}
    assert summary["problems"]["leakage"] == {"label": summary["problems"]["leakage"]["label"], "ran": True,
                                              "count": 0, "groups": []}
    assert "  test: val and test are the same dataset" in proc.stdout.splitlines()
    assert summary["images"] == 50 and summary["mode"] == "config"
