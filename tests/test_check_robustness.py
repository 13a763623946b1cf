"""Bad input never hangs or stops pretrain-check: FIFOs and links that loop
named like images, decompression bombs, a worker process that dies (Ctrl-C: test_check_ctrl_c.py)."""
import json
import os
import shutil
import struct
import sys
import zlib

import pytest

from conftest import run_python
from harness.planted_dataset import plant


def png_header(width, height):
    """A PNG whose header announces width x height (its pixel data is cut)."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0" * 64))


def check(root, tmp_path, *flags, code=None):
    summary = tmp_path / "summary.json"
    args = ["-c", code, str(root)] if code else ["-m", "pretrain_check", str(root)]
    proc = run_python(None, check=False, args=[*args, "--check", "--quiet", "--json", str(summary), *flags])
    assert proc.returncode in (0, 1) and summary.exists(), proc.stderr
    return proc, json.loads(summary.read_text())


@pytest.fixture(scope="module")
def photos(tmp_path_factory):
    root = tmp_path_factory.mktemp("photos")
    plant(root, per_class=30, classes=2, size=(96, 72), problems=False)
    return root


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
def test_special_files_and_bombs_are_listed_without_hanging(photos, tmp_path):
    root = tmp_path / "bad"
    shutil.copytree(photos, root)
    os.mkfifo(root / "class_0" / "pipe.jpg")
    os.symlink("loop.png", root / "class_1" / "loop.png")
    (root / "class_0" / "bomb.png").write_bytes(png_header(30000, 30000))
    (root / "class_1" / "large.png").write_bytes(png_header(10000, 10000))
    proc, summary = check(root, tmp_path)
    unreadable = {f["path"]: f["message"] for f in summary["problems"]["unreadable"]["files"]}
    assert "not a regular file but a FIFO; left unopened" in unreadable[str(root / "class_0" / "pipe.jpg")]
    assert "Too many levels of symbolic links" in unreadable[str(root / "class_1" / "loop.png")]
    assert unreadable[str(root / "class_0" / "bomb.png")].startswith("DecompressionBombError:")
    # over Pillow's limit but under twice it: opens, and is not decoded
    not_checked = {f["path"]: f["message"] for f in summary["problems"]["not_checked"]["files"]}
    assert list(not_checked) == [str(root / "class_1" / "large.png")]
    assert not_checked[str(root / "class_1" / "large.png")].startswith("DecompressionBombWarning:")
    assert summary["images"] == 61
    assert summary["problems"]["blurry"]["count"] + summary["problems"]["near_duplicates"]["count"] <= 1


DYING_WORKER = """
import os, sys
from pretrain_check import cli, image_stats
measure_all = image_stats.measure_all

def dying(paths):
    if any(path.endswith(os.path.join("class_0", "00007.jpg")) for path in paths):
        os._exit(9)
    return measure_all(paths)

image_stats.measure_all = dying
sys.exit(cli.main(sys.argv[1:]))
"""


def test_a_dying_worker_leaves_its_files_not_checked_and_the_rest_reported(photos, tmp_path):
    proc, summary = check(photos, tmp_path, "--workers", "2", code=DYING_WORKER)
    not_checked = summary["problems"]["not_checked"]
    assert not_checked["count"] == 30  # the chunk of class_0 (two workers, two chunks)
    assert all(f["message"] == "not checked: the worker process that had it died" for f in not_checked["files"])
    assert str(photos / "class_0" / "00007.jpg") in {f["path"] for f in not_checked["files"]}
    assert summary["classes"] == {"class_0": 30, "class_1": 30}
    assert "files the image checks could not measure: 30" in proc.stdout


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="root lists every folder")
def test_a_folder_that_cannot_be_listed_is_reported(photos, tmp_path):
    root = tmp_path / "locked"
    shutil.copytree(photos, root)
    (root / "class_1" / "inner").mkdir()
    (root / "class_1" / "inner").chmod(0)
    try:
        proc, summary = check(root, tmp_path)
    finally:
        (root / "class_1" / "inner").chmod(0o755)
    assert [f["path"] for f in summary["problems"]["unlistable_folders"]["files"]] == [str(root / "class_1" / "inner")]
    assert summary["classes"] == {"class_0": 30, "class_1": 30}
