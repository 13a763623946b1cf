"""pretrain-check at the edges of its command line: a user's mistake ends at
once with status 2 and one line on standard error, a dataset with nothing to
train on is a problem, long lists are capped, and the JSON has one shape."""
import os
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

from conftest import SUPPORT
from helpers.summaries import load_summary
from pretrain_check.kinds import all_kinds


def check(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.environ.get("PYTHONPATH", ""), str(SUPPORT)]))
    return subprocess.run([sys.executable, "-m", "pretrain_check", *map(str, args)], capture_output=True,
                          text=True, timeout=300, env=env, cwd=cwd)


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    root = tmp_path_factory.mktemp("dataset")
    for name, shade in (("a", 40), ("b", 200)):
        (root / name).mkdir()
        for i in range(3):
            Image.new("L", (8, 8), shade + i).save(root / name / f"{i}.png")
    return root


def mistakes(dataset, tmp_path):
    (tmp_path / "notes.txt").write_text("not a folder")
    (tmp_path / "readonly").mkdir(mode=0o555)
    (tmp_path / "bad_config.py").write_text("this is not python(")
    (tmp_path / "unbuildable.py").write_text('default_scope = "mmpretrain"\n'
                                             'train_dataloader = dict(dataset=dict(type="NoSuchDataset"))\n')
    np.save(tmp_path / "short.npy", np.full((5, 2), 0.5))
    return {
        "a missing folder": ([tmp_path / "missing"], "missing: no such folder"),
        "a file for a folder": ([tmp_path / "notes.txt"], "notes.txt: not a folder"),
        "a missing config": (["--config", tmp_path / "none.py"], "none.py: no such config file"),
        "a config that does not load": (["--config", tmp_path / "bad_config.py"], "cannot be loaded as a config"),
        "a dataset that cannot be built": (["--config", tmp_path / "unbuildable.py"],
                                           "the train dataset of the config cannot be built"),
        "a JSON file in a missing folder": ([dataset, "--json", tmp_path / "no" / "x.json"], "does not exist"),
        "a report in a missing folder": ([dataset, "--report", tmp_path / "no" / "r.png"], "does not exist"),
        "a page in a missing folder": ([dataset, "--html", tmp_path / "no" / "p.html"], "does not exist"),
        "a JSON file that is a folder": ([dataset, "--json", tmp_path], "is a folder"),
        "no workers": ([dataset, "--workers", "0"], "--workers: 0 is less than 1"),
        "negative workers": ([dataset, "--workers", "-3"], "--workers: -3 is less than 1"),
        "negative samples": ([dataset, "--samples", "-1"], "--samples: -1 is less than 0"),
        "a word for a number": ([dataset, "--samples", "many"], "'many' is not a whole number"),
        "both a folder and a config": ([dataset, "--config", tmp_path / "bad_config.py"], "either"),
        "neither": ([], "either"),
        "an unknown option": ([dataset, "--fast"], "unrecognized arguments: --fast"),
        "label issues of a folder without predictions": ([dataset, "--label-issues"], "needs --predictions"),
        "a missing predictions file": ([dataset, "--predictions", tmp_path / "none.npy"], "none.npy: no such file"),
        "predictions of another shape": ([dataset, "--predictions", tmp_path / "short.npy", "--quiet"],
                                         "shape (5, 2), expected (6, 2)"),
        "a checkpoint without a config": ([dataset, "--checkpoint", tmp_path / "short.npy"], "needs --config"),
        "one fold": ([dataset, "--folds", "1"], "--folds: 1 is less than 2"),
        "a review list without label issues": ([dataset, "--write-relabel", tmp_path / "r.csv"],
                                               "goes with --label-issues"),
    }


def test_every_mistake_is_one_line_and_status_2(dataset, tmp_path):
    for name, (args, said) in mistakes(dataset, tmp_path).items():
        proc = check(*args)
        assert proc.returncode == 2, (name, proc.stderr)
        assert proc.stdout == "" and proc.stderr.count("\n") == 1, (name, proc.stderr)
        assert proc.stderr.startswith("pretrain-check: ") and said in proc.stderr, (name, proc.stderr)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="root writes anywhere")
def test_an_output_folder_that_cannot_be_written_is_a_mistake(dataset, tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o555)
    proc = check(dataset, "--json", locked / "s.json")
    assert proc.returncode == 2 and "cannot be written" in proc.stderr


def test_report_without_matplotlib_is_a_mistake(dataset, tmp_path):
    (tmp_path / "matplotlib").mkdir()  # stands in for a missing or broken install
    (tmp_path / "matplotlib" / "__init__.py").write_text("raise ImportError('no matplotlib here')")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", ""),
                                                       str(SUPPORT)]))
    proc = subprocess.run([sys.executable, "-m", "pretrain_check", str(dataset), "--report", str(tmp_path / "r.png")],
                          capture_output=True, text=True, timeout=300, env=env)
    assert proc.returncode == 2 and "--report needs matplotlib" in proc.stderr, proc.stderr


def test_version_and_help():
    version = check("--version")
    assert version.returncode == 0 and version.stdout.startswith("pretrain-check 0.")
    shown = check("--help").stdout
    for said in ("exit status:", "  2  a mistake", "blurry", "duplicates", "--config"):
        assert said in shown


@pytest.mark.parametrize("layout, said", [
    ({}, "no image the scan accepts"),
    ({"notes/readme.txt": b"text"}, "no image the scan accepts"),
    ({"loose.png": None}, "no class folder"),
])
def test_a_dataset_with_nothing_to_train_on_is_a_problem(tmp_path, layout, said):
    root = tmp_path / "root"
    root.mkdir()
    for name, data in layout.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        if data is None:
            Image.new("L", (8, 8)).save(root / name)
        else:
            (root / name).write_bytes(data)
    proc = check(root, "--quiet", "--json", tmp_path / "s.json")
    assert proc.returncode == 1, proc.stderr
    found = load_summary(tmp_path / "s.json")["problems"]["no_images"]
    assert found["count"] == 1 and said in found["files"][0]["message"]
    assert said in proc.stdout


def test_text_lists_at_most_twenty_items_of_a_kind(tmp_path):
    root = tmp_path / "root"
    (root / "a").mkdir(parents=True)
    Image.new("L", (8, 8)).save(root / "a" / "good.png")
    for i in range(25):
        (root / "a" / f"bad{i:02d}.png").write_bytes(b"junk")
    proc = check(root, "--quiet")
    assert proc.returncode == 1
    listed = [line for line in proc.stdout.splitlines() if "bad" in line and line.startswith("    /")]
    assert len(listed) == 20 and "    and 5 more" in proc.stdout.splitlines()


def test_every_kind_is_present_whatever_the_flags(dataset, tmp_path):
    names = [kind.name for kind in all_kinds()]
    for flags, ran in (([], {"no_images", "unreadable"}), (["--check", "--decode"], None)):
        proc = check(dataset, "--quiet", "--json", tmp_path / "s.json", *flags)
        assert proc.returncode in (0, 1), proc.stderr
        problems = load_summary(tmp_path / "s.json")["problems"]
        assert list(problems) == names
        if ran:
            assert {name for name, found in problems.items() if found["ran"]} == ran
