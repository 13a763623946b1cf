"""pretrain-check on datasets with bad files, files the scan
leaves out and exact duplicates: the exit status, the JSON summary, the lines
printed and the report image."""
import io
from collections import Counter

import numpy as np
import pytest
from PIL import Image

from conftest import REPO, run_python
from helpers.summaries import load_summary, paths_of

from pretrain_check import sizes as size_scan

RNG = np.random.default_rng(0)


def image_bytes(size, fmt):
    buffer = io.BytesIO()
    Image.fromarray(RNG.integers(0, 256, (size[1], size[0], 3), dtype=np.uint8)).save(buffer, fmt)
    return buffer.getvalue()


def write_images(folder, count, size, fmt, suffix):
    folder.mkdir(parents=True, exist_ok=True)
    for i in range(count):
        (folder / f"{i}{suffix}").write_bytes(image_bytes(size, fmt))


@pytest.fixture(scope="module")
def flawed(tmp_path_factory):
    """Classes a (6 PNG, 16 x 16) and b (3 JPEG, 24 x 16), with one file or
    folder of every problem the check reports."""
    root = tmp_path_factory.mktemp("flawed")
    write_images(root / "a", 6, (16, 16), "PNG", ".png")
    write_images(root / "b", 3, (24, 16), "JPEG", ".jpg")
    (root / "a" / "broken.png").write_bytes(b"not an image at all" * 10)
    (root / "a" / "album.png").mkdir()  # a folder with an accepted suffix
    full = image_bytes((64, 64), "JPEG")
    (root / "b" / "cut.jpg").write_bytes(full[: len(full) * 2 // 3])
    (root / "a" / "IMG_7.JPG").write_bytes(image_bytes((16, 16), "JPEG"))
    (root / "a" / "scan.tif").write_bytes(image_bytes((16, 16), "TIFF"))
    (root / "b" / "photo.WEBP").write_bytes(b"")
    (root / ".DS_Store").write_bytes(b"")
    (root / ".thumbs").mkdir()
    (root / ".thumbs" / "0.png").write_bytes((root / "a" / "0.png").read_bytes())
    (root / "empty").mkdir()
    (root / "empty" / "notes.txt").write_text("no images here")
    (root / "stray.png").write_bytes(image_bytes((16, 16), "PNG"))
    (root / "b" / "copy.png").write_bytes((root / "a" / "0.png").read_bytes())
    (root / "a" / "again.png").write_bytes((root / "a" / "1.png").read_bytes())
    return root


def analyse(root, tmp_path, *flags):
    summary_file = tmp_path / "summary.json"
    proc = run_python(None, check=False, args=["-m", "pretrain_check", str(root),
                                               "--json", str(summary_file), *flags])
    assert proc.returncode in (0, 1), proc.stderr
    summary = load_summary(summary_file)
    assert summary["exit_status"] == proc.returncode
    return proc, summary


def paths(root, *names):
    return sorted(str(root / n) for n in names)


def test_check_lists_every_problem_and_reports_the_readable_files(flawed, tmp_path):
    report = tmp_path / "report.png"
    proc, summary = analyse(flawed, tmp_path, "--check", "--report", str(report), "--samples", "40")
    assert proc.returncode == 1
    problems = summary["problems"]
    assert list(problems)[:8] == ["no_images", "unreadable", "undecodable", "suffix_case", "suffix_not_accepted",
                                  "hidden", "empty_class_folders", "root_files"]
    assert not problems["undecodable"]["ran"] and problems["no_images"]["count"] == 0

    unreadable = {f["path"]: f["message"] for f in problems["unreadable"]["files"]}
    assert sorted(unreadable) == paths(flawed, "a/album.png", "a/broken.png")
    assert unreadable[str(flawed / "a/broken.png")].startswith("UnidentifiedImageError: cannot identify image file")
    assert unreadable[str(flawed / "a/album.png")].startswith("IsADirectoryError:")
    for path, error in unreadable.items():
        assert f"    {path}: {error}" in proc.stdout.splitlines()
    assert "  files Image.open cannot open: 2" in proc.stdout

    assert paths_of(problems["suffix_case"]) == paths(flawed, "a/IMG_7.JPG")
    assert problems["suffix_not_accepted"]["count"] == 2
    assert paths_of(problems["suffix_not_accepted"]) == paths(flawed, "a/scan.tif", "b/photo.WEBP")
    assert paths_of(problems["hidden"]) == paths(flawed, ".DS_Store", ".thumbs")
    assert paths_of(problems["empty_class_folders"]) == paths(flawed, "empty")
    assert paths_of(problems["root_files"]) == paths(flawed, "stray.png")
    assert f"    {flawed / 'a/IMG_7.JPG'}" in proc.stdout.splitlines()

    duplicates = problems["duplicates"]
    assert (duplicates["count"], duplicates["files_in_groups"], duplicates["across_classes"]) == (2, 4, 1)
    noisy, plain = duplicates["groups"]  # label noise first
    assert noisy["label_noise"] and noisy["classes"] == ["a", "b"]
    assert sorted(noisy["files"]) == paths(flawed, "a/0.png", "b/copy.png")
    assert not plain["label_noise"] and sorted(plain["files"]) == paths(flawed, "a/1.png", "a/again.png")
    assert "groups of exact duplicates (same bytes): 2" in proc.stdout
    assert "a, b (label noise): " in proc.stdout

    # the rest is reported over the files that open, cut.jpg included (its header is whole)
    assert summary["classes"] == {"a": 7, "b": 5, "stray.png": 1}
    assert summary["images"] == 13
    assert summary["sizes"] == [{"size": [16, 16], "count": 9}, {"size": [24, 16], "count": 3},
                                {"size": [64, 64], "count": 1}]
    assert summary["formats"] == {".png": 9, ".jpg": 4}
    assert not {s["path"] for s in summary["samples"]["files"]} & set(unreadable)
    with Image.open(report) as image:
        assert image.format == "PNG" and image.size[0] > 1000
        image.load()


def test_decode_lists_files_cut_short_and_leaves_them_out(flawed, tmp_path):
    proc, summary = analyse(flawed, tmp_path, "--check", "--decode", "--workers", "2", "--samples", "40")
    assert proc.returncode == 1
    problems = summary["problems"]
    assert [f["path"] for f in problems["undecodable"]["files"]] == paths(flawed, "b/cut.jpg")
    assert "truncated" in problems["undecodable"]["files"][0]["message"]
    assert sorted(f["path"] for f in problems["unreadable"]["files"]) == paths(flawed, "a/album.png", "a/broken.png")
    assert "  files whose pixel data cannot be loaded: 1" in proc.stdout
    assert summary["classes"] == {"a": 7, "b": 4, "stray.png": 1}
    assert [64, 64] not in [s["size"] for s in summary["sizes"]]
    assert str(flawed / "b/cut.jpg") not in {s["path"] for s in summary["samples"]["files"]}
    assert problems["duplicates"]["count"] == 2


def test_without_check_bad_files_are_listed_and_the_rest_reported(flawed, tmp_path):
    proc, summary = analyse(flawed, tmp_path)
    assert proc.returncode == 1
    ran = [kind for kind, found in summary["problems"].items() if found["ran"]]
    assert ran == ["no_images", "unreadable"]
    assert summary["problems"]["unreadable"]["count"] == 2
    assert summary["classes"] == {"a": 7, "b": 5, "stray.png": 1}
    assert "Traceback" not in proc.stderr


def test_a_clean_dataset_passes(tmp_path):
    root = tmp_path / "clean"
    write_images(root / "x", 3, (8, 8), "PNG", ".png")
    write_images(root / "y", 2, (8, 8), "JPEG", ".jpeg")
    proc, summary = analyse(root, tmp_path, "--check", "--decode")
    assert proc.returncode == 0
    assert all(p["count"] == 0 for p in summary["problems"].values())
    assert "no problems found" in proc.stdout
    assert summary["classes"] == {"x": 3, "y": 2}


@pytest.mark.parametrize("named_by_traceback", [True, False])
@pytest.mark.parametrize("bad", [[0], [0, 1, 2], [4, 5], [9], [2, 3, 4, 8, 9], list(range(10))])
def test_size_scan_goes_on_past_rejected_files(tmp_path, monkeypatch, bad, named_by_traceback):
    if not named_by_traceback:  # the failing file is then found by counting
        monkeypatch.setattr(size_scan, "opened_name", lambda error: None)
    names = []
    for i in range(10):
        path = tmp_path / f"{i}.png"
        path.write_bytes(b"junk" if i in bad else image_bytes((i + 1, 2), "PNG"))
        names.append(str(path))
    sizes, rejected, lengths = size_scan.sizes_of(names, with_bytes=True)
    assert [position for position, _ in rejected] == bad
    assert lengths == [len(open(name, "rb").read()) for name in names]
    assert all(text.startswith("UnidentifiedImageError") for _, text in rejected)
    assert sizes == Counter(str((i + 1, 2)) for i in range(10) if i not in bad)
