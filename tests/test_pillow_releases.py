"""The Pillow releases the header readers mirror: every one of them is a
cell of the test matrix, and the size scan answers natively under those
releases only, leaving every file to Image.open under any other."""
import re
import subprocess
import sys
import zlib
from pathlib import Path

from PIL import Image

REPO = Path(__file__).resolve().parent.parent
SCAN = """
import asyncio, sys
import PIL
from PIL import Image
{patch}
import pretrain.analyzing_tools as native
Image.open(sys.argv[2]).close()  # Pillow loads its plugins
opens = []
sys.setprofile(lambda frame, event, arg: opens.append(1) if event == "call" and frame.f_code is Image.open.__code__ else None)
tool = native.ClsAnalyzingTool(sys.argv[1])
tool.path_list = [sys.argv[2]] * 4
print(asyncio.run(tool.get_image_size_distribution()) is not None, len(opens))
"""


def reader_releases():
    """The releases listed in the readers' table of verified releases."""
    text = (REPO / "fastpath" / "images" / "formats" / "pillow_releases.cpp").read_text()
    return set(re.findall(r'"(\d+\.\d+\.\d+)"', text))


def matrix_releases():
    text = (REPO / "scripts" / "matrix_cells.txt").read_text()
    return set(re.findall(r"^[^#]*\bpillow==(\S+)", text, re.M))


def png_file(tmp_path):
    def chunk(cid, data):
        return len(data).to_bytes(4, "big") + cid + data + zlib.crc32(cid + data).to_bytes(4, "big")
    path = tmp_path / "image.png"
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", bytes([0, 0, 0, 5, 0, 0, 0, 3, 8, 2, 0, 0, 0]))
                     + chunk(b"IDAT", zlib.compress(b"\0" * 48)) + chunk(b"IEND", b""))
    return path


def opens_in_a_scan(tmp_path, patch=""):
    path = png_file(tmp_path)
    out = subprocess.run([sys.executable, "-c", SCAN.format(patch=patch), str(tmp_path), str(path)],
                         capture_output=True, text=True, check=True).stdout.split()
    assert out[0] == "True"
    return int(out[1])


def test_every_release_the_readers_list_is_a_matrix_cell():
    assert reader_releases() and reader_releases() <= matrix_releases()


def test_the_installed_release_is_read_natively_only_when_listed(tmp_path):
    expected = 0 if Image.__version__ in reader_releases() else 4
    assert opens_in_a_scan(tmp_path) == expected


def test_a_release_not_listed_is_left_to_pillow(tmp_path):
    assert opens_in_a_scan(tmp_path, 'PIL.__version__ = "99.0.0"') == 4
