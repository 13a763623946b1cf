"""pretrain-check --check on generated photo-like images with planted
problems of every kind the image checks report (harness/planted_dataset.py):
each planted file or copy is found, and the clean images are hardly ever
flagged."""
import pytest
from PIL import Image

from conftest import run_python
from harness.planted_dataset import plant, score
from helpers.summaries import load_summary

SINGLE_FILE_KINDS = ["blurry", "dark", "light", "low_information", "grayscale", "odd_size", "odd_aspect_ratio"]


def check(root, tmp_path, *flags):
    summary = tmp_path / "summary.json"
    proc = run_python(None, check=False, args=["-m", "pretrain_check", str(root), "--check", "--quiet",
                                               "--json", str(summary), *flags])
    assert proc.returncode in (0, 1), proc.stderr
    return proc, load_summary(summary)


@pytest.fixture(scope="module")
def planted(tmp_path_factory):
    root = tmp_path_factory.mktemp("planted")
    return root, plant(root, per_class=40, classes=3, size=(128, 96))


def flagged_files(problems):
    return {kind: [f["path"] for f in found["files"]] for kind, found in problems.items()
            if isinstance(found.get("files"), list)}


def test_every_planted_problem_is_found_with_few_false_positives(planted, tmp_path):
    root, plants = planted
    report = tmp_path / "report.png"
    proc, summary = check(root, tmp_path, "--report", str(report))
    assert proc.returncode == 1
    problems = summary["problems"]
    found = score(plants, flagged_files(problems), [g["files"] for g in problems["near_duplicates"]["groups"]])
    assert {kind: hit for kind, (hit, _, _) in found.items()} == {kind: total for kind, (_, total, _) in found.items()}
    assert sum(stray for _, _, stray in found.values()) <= 1, found
    assert problems["not_checked"]["count"] == 0
    with Image.open(report) as image:  # a row of the worst images above the samples
        assert image.size[1] > 1000


def test_kinds_hold_their_scores_worst_first_and_are_printed(planted, tmp_path):
    root, plants = planted
    proc, summary = check(root, tmp_path)
    problems = summary["problems"]
    for kind in SINGLE_FILE_KINDS:
        entry = problems[kind]
        assert entry["count"] == len(entry["files"])
        assert all(set(f) == {"path", "score"} for f in entry["files"])
        assert f"    {entry['files'][0]['path']}: score {entry['files'][0]['score']}" in proc.stdout
    dark = [f["score"] for f in problems["dark"]["files"]]
    assert dark == sorted(dark) and dark[-1] < 0.25
    assert [f["score"] for f in problems["odd_size"]["files"]] == [6.0, 5.0]
    near = problems["near_duplicates"]
    assert near["across_classes"] == near["count"] == len(plants["near_duplicates"])
    for group in near["groups"]:
        assert group["label_noise"] and len(group["classes"]) == 2 and group["distance"] <= 8
    assert "(label noise): " in proc.stdout


def test_clean_photos_flag_almost_nothing(tmp_path):
    root = tmp_path / "clean"
    plant(root, per_class=60, classes=2, size=(128, 96), seed=7, problems=False)
    proc, summary = check(root, tmp_path)
    flagged = [p for files in flagged_files(summary["problems"]).values() for p in files]
    assert len(flagged) <= 1, flagged
    assert summary["problems"]["near_duplicates"]["count"] == 0


def test_directory_mode_imports_neither_torch_nor_the_mm_stack(planted):
    root, _ = planted
    proc = run_python(f"""
        import sys
        from pretrain_check import cli
        status = cli.main([{str(root)!r}, "--check", "--quiet"])
        stack = sorted(m for m in ("torch", "mmengine", "mmcv", "mmpretrain") if m in sys.modules)
        print("stack:", stack, "status:", status)
    """)
    assert "stack: [] status: 1" in proc.stdout
