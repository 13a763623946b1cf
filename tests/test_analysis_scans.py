"""The dataset scans of pretrain.analyzing_tools give exactly what the plain
Python tool (helpers/analysis.py) gives: on random trees and on images of
every kind, with the module's names genuine (native walk, pathlib shortcut,
header reader) and monkeypatched (the calls as written)."""
import asyncio
import io
import os
import pathlib
import random
import struct
import sys
import types
import warnings
import zlib
from collections import Counter
from pathlib import Path

import pytest
from PIL import Image

import pretrain.analyzing_tools as native
from helpers import analysis as reference
from conftest import run_python

MODULES = (native, reference)


def drive(coroutine):
    return asyncio.run(coroutine)


def outcome(call):
    """The value of call() or the exception it raised, as comparable data,
    and the warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            value = ("value", call())
        except Exception as error:  # noqa: BLE001 - the exception is what is compared
            value = ("error", type(error), str(error))
    return value, [(w.category, str(w.message)) for w in caught]


def both(make_call, patch=None):
    """Runs make_call(module) for the native and the reference module (with
    patch(module) applied to each first) and returns the two outcomes."""
    results = []
    for module in MODULES:
        saved = dict(vars(module))
        try:
            if patch:
                patch(module)
            results.append(outcome(lambda: make_call(module)))
        finally:
            for name in list(vars(module)):
                if name not in saved:
                    delattr(module, name)
            for name, value in saved.items():
                setattr(module, name, value)
    return results


def path_texts(paths):
    return [(type(p).__name__, str(p), p.parts) for p in paths]


# ---- random trees ------------------------------------------------------------

WINDOWS = os.name == "nt"


def valid_here(name):
    """Whether the running system keeps a file of this name as written:
    Windows refuses some characters and drops trailing dots and spaces."""
    return not WINDOWS or not (set(name) & set('<>:"/\\|?*') or name.endswith((".", " ")))


NAMES = [name for name in ["a.png", "b.jpg", "C.PNG", "d.jpeg", "e.gif", "f.tif", "g.tiff", "h.bmp", "noext",
                           "x.y.png", ".hidden.png", "..png", "dot.", "sp ace.jpg", "ünï.png", "[ab].png", "*.jpg"]
         if valid_here(name)]


def make_odd_name(directory, stem):
    """A file whose name is not valid Unicode: bytes that are not UTF-8 on
    POSIX, an unpaired surrogate on Windows (where the system takes it)."""
    if not WINDOWS:
        with open(os.fsencode(directory) + b"/\xff\xfe" + stem.encode() + b".png", "wb"):
            pass
        return
    try:
        (directory / ("\ud800" + stem + ".png")).write_bytes(b"")
    except OSError:
        pass


def symlink(target, link):
    """A symbolic link, where the system lets this process make one (Windows
    wants a privilege for it)."""
    try:
        os.symlink(target, link, target_is_directory=os.path.isdir(os.path.join(os.path.dirname(link), target)))
    except OSError:
        if not WINDOWS:
            raise


def random_tree(root, seed):
    rng = random.Random(seed)
    directories = [root]
    for _ in range(rng.randint(5, 25)):
        parent = rng.choice(directories)
        name = rng.choice(["cls", "dir.png", ".hid", "Z", "sub", "x.jpg", "ä", "n"]) + str(rng.randint(0, 9))
        child = parent / name
        child.mkdir(exist_ok=True)
        directories.append(child)
    for directory in directories:
        for _ in range(rng.randint(0, 6)):
            (directory / (str(rng.randint(0, 99)) + rng.choice(NAMES))).write_bytes(b"")
    for _ in range(2):
        make_odd_name(rng.choice(directories), str(rng.randint(0, 9)))
    for i in range(3):  # links to directories that do not hold the link
        where, target = rng.choice(directories), rng.choice(directories)
        if target != where and target not in where.parents:
            symlink(target, where / f"link{i}.png")
    if seed % 2:  # a loop: glob follows it until the system refuses the path
        symlink(".", rng.choice(directories) / "again")
    symlink(root / "missing", rng.choice(directories) / "broken.jpg")
    files = [p for p in root.rglob("*") if p.is_file()]
    if files:
        symlink(files[0], rng.choice(directories) / "filelink.png")


@pytest.mark.parametrize("seed", range(8))
def test_scans_of_random_trees_match_python(tmp_path, seed):
    random_tree(tmp_path, seed)
    for root in (tmp_path, str(tmp_path), str(tmp_path) + "/", tmp_path / "cls1" / ".."):
        results = both(lambda m: _scan(m, root))
        assert results[0] == results[1]


def _scan(module, root):
    tool = module.ClsAnalyzingTool(root)
    paths = drive(tool.get_path_list())
    categories = drive(tool.get_category_distribution())
    formats = drive(tool.get_image_format_distribution())
    return (path_texts(paths), categories, tool.classes,
            {k: path_texts(v) for k, v in tool.category_image_map.items()}, formats)


def count_python_calls(call, counts):
    """How many Python-level calls for which counts(code, globals) holds run during call()."""
    seen = []

    def profile(frame, event, arg):
        if event == "call" and counts(frame.f_code, frame.f_globals):
            seen.append(frame.f_code.co_name)
    sys.setprofile(profile)
    try:
        call()
    finally:
        sys.setprofile(None)
    return len(seen)


def count_glob_calls(call):
    """How many of the glob module's Python functions run during call()."""
    import glob
    return count_python_calls(call, lambda code, globals_: globals_ is vars(glob))


def test_absolute_roots_are_walked_without_glob(tmp_path):
    random_tree(tmp_path, 2)
    for root in (tmp_path, str(tmp_path)):
        assert count_glob_calls(lambda: drive(native.ClsAnalyzingTool(root).get_path_list())) == 0
        assert count_glob_calls(lambda: drive(reference.ClsAnalyzingTool(root).get_path_list())) > 0


def test_scans_match_with_odd_roots(tmp_path, monkeypatch):
    for name, seed in (("[x]", 3), ("plain", 4)):
        (tmp_path / name).mkdir()
        random_tree(tmp_path / name, seed)
    monkeypatch.chdir(tmp_path)
    for root in ("plain", "./plain", ".", "", "missing", tmp_path / "[x]", "plain\udcff", "pl\0ain", None, 7):
        results = both(lambda m: _scan(m, root))
        assert results[0] == results[1], root


@pytest.mark.parametrize("patch", [
    lambda m: setattr(m, "glob", lambda *a, **k: sorted(__import__("glob").glob(*a, **k))),
    lambda m: setattr(m, "Path", type("MyPath", (type(Path()),), {})),
    lambda m: setattr(m, "img_ext", (".png", ".jpg")),
    lambda m: setattr(m, "img_ext", [".png", type("S", (str,), {})(".jpg")]),
], ids=["glob", "Path", "img_ext-tuple", "img_ext-str-subclass"])
def test_scans_match_with_module_names_replaced(tmp_path, patch):
    random_tree(tmp_path, 11)
    results = both(lambda m: _scan(m, tmp_path), patch)
    assert results[0] == results[1]


def test_pathlib_changed_between_scans_is_seen_by_the_next_scan(tmp_path, monkeypatch):
    # What one scan found out about pathlib is kept for the next.
    random_tree(tmp_path, 5)
    for _ in range(2):
        before = both(lambda m: _scan(m, tmp_path))
        assert before[0] == before[1]
    monkeypatch.setattr(pathlib.PurePath, "suffix", property(lambda self: ".png"))
    results = both(lambda m: _scan(m, tmp_path))
    assert results[0] == results[1] != before[0]
    monkeypatch.setattr(pathlib.PurePath, "relative_to", lambda self, *other: pathlib.PurePath("moved", "x"))
    results = both(lambda m: _scan(m, tmp_path))
    assert results[0] == results[1] and "moved" in str(results[0][0][1][2])


def test_path_is_read_for_every_file_before_filtering(tmp_path):
    for name in ("a/1.png", "a/2.jpg", "b/3.png", "b/4.gif"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(b"")

    def patch(module):
        calls = []

        def counting_path(*parts):
            calls.append(parts)
            if len(calls) == 3:  # while wrapping: later files and the filter see the change
                module.Path = type("Later", (type(Path()),), {})
                module.img_ext = [".gif", ".png"]
            return type(Path())(*parts)
        module.Path = counting_path
        module.calls = calls

    results = both(lambda m: (_scan(m, tmp_path), len(m.calls)), patch)
    assert results[0] == results[1]


def test_img_ext_and_suffix_are_read_per_file(tmp_path):
    for name in ("a/1.png", "a/2.jpg", "a/3.png"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(b"")

    class Recording(list):
        def __contains__(self, item):
            self.seen.append(item)
            return list.__contains__(self, item)

    def patch(module):
        module.img_ext = Recording([".png"])
        module.img_ext.seen = []

    results = both(lambda m: (sorted(map(str, drive(m.ClsAnalyzingTool(tmp_path).get_path_list()))),
                              sorted(m.img_ext.seen)), patch)
    assert results[0] == results[1] and results[0][0][1][1] == ["", ".jpg", ".png", ".png"]


def test_root_is_converted_for_every_file(tmp_path):
    for name in ("a/1.png", "a/2.png", "b/3.png"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(b"")

    class Root:
        calls = 0

        def __fspath__(self):
            Root.calls += 1
            return str(tmp_path)

    def run(module):
        Root.calls = 0
        tool = module.ClsAnalyzingTool(tmp_path)
        drive(tool.get_path_list())
        tool.dataset_path = Root()
        return drive(tool.get_category_distribution()), Root.calls

    results = both(run)
    assert results[0] == results[1] and results[0][0][1][1] == 3


def test_root_changed_by_the_callback_is_seen_by_the_next_file(tmp_path):
    for name in ("a/1.png", "a/2.png", "b/3.png"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(b"")

    def run(module):
        tool = module.ClsAnalyzingTool(str(tmp_path))
        drive(tool.get_path_list())

        async def move_root(progress):
            tool.dataset_path = str(tmp_path / "elsewhere")

        return drive(tool.get_category_distribution(move_root))

    results = both(run)
    assert results[0] == results[1] and results[0][0][0] == "error"


def test_random_draws_read_random_classes_and_map_per_draw(tmp_path):
    for name in ("a/1.png", "b/2.png", "c/3.png"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(b"")

    def run(module):
        tool = module.ClsAnalyzingTool(tmp_path)
        drive(tool.get_category_distribution())
        log = []

        class Chooser:
            def __init__(self, name):
                self.name = name

            def choice(self, seq):
                log.append((self.name, list(map(str, seq))))
                tool.classes = tool.classes[1:] + tool.classes[:1]
                tool.category_image_map = dict(tool.category_image_map)
                module.random = Chooser(self.name + "'")
                return seq[0]

        module.random = Chooser("r")
        picked = drive(tool.get_random_images(3))
        return list(map(str, picked)), log

    results = both(run)
    assert results[0] == results[1]


# ---- images ------------------------------------------------------------------

def image_bytes(fmt, mode="RGB", size=(13, 7), **options):
    buffer = io.BytesIO()
    Image.new(mode, size, 90).save(buffer, fmt, **options)
    return buffer.getvalue()


def png_with_size(width, height):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0")) + chunk(b"IEND", b"")


def exif_bytes():
    exif = Image.Exif()
    exif[0x0128] = 2
    exif[0x011A] = 300.0
    return exif.tobytes()


def sample_files():
    files = {}
    for mode in ("1", "L", "P", "RGB", "RGBA", "LA", "I;16"):
        files[f"png_{mode}.png"] = image_bytes("PNG", mode)
    files["png_dpi.png"] = image_bytes("PNG", dpi=(96, 96))
    files["png_text.png"] = image_bytes("PNG", pnginfo=__import__("PIL.PngImagePlugin").PngImagePlugin.PngInfo())
    files["png_interlaced.png"] = image_bytes("PNG", "RGB", optimize=True)
    for mode in ("L", "RGB", "CMYK"):
        files[f"jpeg_{mode}.jpg"] = image_bytes("JPEG", mode)
    files["jpeg_progressive.jpeg"] = image_bytes("JPEG", progressive=True)
    files["jpeg_dpi.jpg"] = image_bytes("JPEG", dpi=(200, 100))
    files["jpeg_exif.jpg"] = image_bytes("JPEG", exif=exif_bytes())
    files["jpeg_exif_dpi.jpg"] = image_bytes("JPEG", exif=exif_bytes(), dpi=(72, 72))
    files["jpeg_icc.jpg"] = image_bytes("JPEG", icc_profile=b"x" * 300)
    files["jpeg_comment.jpg"] = image_bytes("JPEG", comment=b"hello")
    for mode in ("P", "L", "RGB"):
        files[f"gif_{mode}.gif"] = image_bytes("GIF", mode)
    frames = [Image.new("P", (9, 5), i) for i in range(3)]
    buffer = io.BytesIO()
    frames[0].save(buffer, "GIF", save_all=True, append_images=frames[1:], duration=50, loop=0, disposal=2)
    files["gif_animated.gif"] = buffer.getvalue()
    for mode in ("1", "L", "P", "RGB", "RGBA"):
        files[f"bmp_{mode}.bmp"] = image_bytes("BMP", mode)
    files["tiff.tiff"] = image_bytes("TIFF")
    files["webp_as.png"] = image_bytes("WEBP") if "WEBP" in Image.SAVE else image_bytes("PPM")
    files["png_as.jpg"] = image_bytes("PNG")
    files["jpeg_as.bmp"] = image_bytes("JPEG")
    files["text.png"] = b"not an image at all\n"
    files["empty.gif"] = b""
    files["huge.png"] = png_with_size(100_000, 100_000)        # above twice the limit
    files["large.png"] = png_with_size(12_000, 12_000)         # above the limit: a warning
    files["zero.png"] = png_with_size(0, 5)
    files["wide.bmp"] = image_bytes("BMP", "RGB", (20000, 1))
    clean = dict(files)
    for name, data in clean.items():
        if len(data) > 40:
            stem, dot, ext = name.rpartition(".")
            files[f"{stem}_cut30{dot}{ext}"] = data[:30]
            files[f"{stem}_cut{dot}{ext}"] = data[:len(data) // 2]
            broken = bytearray(data)
            broken[20] ^= 0x55
            files[f"{stem}_flip{dot}{ext}"] = bytes(broken)
    return files


@pytest.fixture(scope="module")
def image_tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("images")
    for i, (name, data) in enumerate(sorted(sample_files().items())):
        folder = root / f"c{i % 7}"
        folder.mkdir(exist_ok=True)
        (folder / name).write_bytes(data)
    (root / "c0" / "dir.png").mkdir()
    return root


def sizes_outcome(module, paths, callback=False):
    tool = module.ClsAnalyzingTool(Path(paths[0]).parent)
    tool.path_list = list(paths)
    seen = []

    async def record(progress):
        seen.append(progress)

    result = drive(tool.get_image_size_distribution(record if callback else None))
    return result, list(result), seen


def test_each_image_alone_matches_pillow(image_tree):
    files = sorted(image_tree.glob("*/*"))
    assert len(files) > 100
    for path in files:
        for callback in (False, True):
            for item in (path, str(path)):
                results = both(lambda m: sizes_outcome(m, [item], callback))
                assert results[0] == results[1], (path.name, callback)


def test_whole_tree_matches_pillow_with_and_without_callback(image_tree):
    tool = reference.ClsAnalyzingTool(image_tree)
    paths = drive(tool.get_path_list())
    good = []
    for path in paths:
        if outcome(lambda: sizes_outcome(reference, [path]))[0][0] == "value":
            good.append(path)
    assert len(good) > 60
    for callback in (False, True):
        results = both(lambda m: sizes_outcome(m, good * 3, callback))
        assert results[0] == results[1]
        # The first failing file stops the scan where the Python loop stops.
        bad = [p for p in paths if p not in good]
        mixed = good[:40] + bad[:1] + good[40:]
        results = both(lambda m: sizes_outcome(m, mixed, callback))
        assert results[0] == results[1] and results[0][0][0] == "error"


def count_python_opens(call):
    """How often PIL.Image.open runs as Python code during call()."""
    return count_python_calls(
        call, lambda code, globals_: code.co_name == "open" and code.co_filename == Image.__file__)


def test_clean_images_are_read_without_pillow_and_others_with_it(image_tree):
    clean = [p for p in sorted(image_tree.glob("*/*")) if p.name.split(".")[0] in (
        "png_L", "png_RGB", "png_P", "jpeg_RGB", "jpeg_L", "jpeg_progressive", "gif_P", "bmp_RGB", "bmp_L")]
    tiff = [p for p in image_tree.glob("*/tiff.tiff")]
    Image.open(clean[0]).close()
    # Text paths are read natively everywhere; path objects where they are
    # the system's PosixPath (other path objects go to Image.open).
    for form in (str,) if WINDOWS else (str, Path):
        items, others = [form(p) for p in clean], [form(p) for p in tiff]
        assert count_python_opens(lambda: sizes_outcome(native, items)) == 0
        assert count_python_opens(lambda: sizes_outcome(native, items + others + items)) == 1
        assert count_python_opens(lambda: sizes_outcome(reference, items)) == len(items)


@pytest.mark.skipif(not WINDOWS, reason="Windows sharing modes")
def test_image_held_open_for_deletion_is_refused_as_open_refuses_it(image_tree):
    import ctypes
    from ctypes import wintypes
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.CreateFileW.restype = wintypes.HANDLE
    kernel32.CreateFileW.argtypes = [wintypes.LPCWSTR, wintypes.DWORD, wintypes.DWORD, wintypes.LPVOID,
                                     wintypes.DWORD, wintypes.DWORD, wintypes.HANDLE]
    kernel32.CloseHandle.argtypes = [wintypes.HANDLE]
    path = next(image_tree.glob("*/png_L.png"))
    delete, generic_read, share_all, open_existing = 0x10000, 0x80000000, 7, 3
    handle = kernel32.CreateFileW(str(path), delete | generic_read, share_all, None, open_existing, 0, None)
    assert handle not in (None, wintypes.HANDLE(-1).value), ctypes.get_last_error()
    try:
        results = both(lambda m: sizes_outcome(m, [str(path)]))
    finally:
        kernel32.CloseHandle(handle)
    assert results[0] == results[1] and results[0][0][:2] == ("error", PermissionError)


@pytest.mark.parametrize("patch", [
    lambda m: setattr(m, "Image", types.SimpleNamespace(open=Image.open)),
    lambda m: setattr(m, "Image", types.SimpleNamespace(open=lambda p: Image.open(p).resize((2, 3)))),
], ids=["namespace", "resizing-open"])
def test_sizes_match_with_image_replaced(image_tree, patch):
    files = [p for p in sorted(image_tree.glob("*/*")) if p.name.startswith(("png_L", "jpeg_RGB", "gif_P"))]
    results = both(lambda m: sizes_outcome(m, files), patch)
    assert results[0] == results[1]


def test_sizes_follow_a_patched_image_open_and_plugins(image_tree, monkeypatch):
    files = [p for p in sorted(image_tree.glob("*/*")) if p.name.startswith(("png_L.", "jpeg_RGB.", "bmp_RGB."))]
    opened = []
    real_open = Image.open
    monkeypatch.setattr(Image, "open", lambda fp, *a: opened.append(fp) or real_open(fp, *a))
    results = both(lambda m: sizes_outcome(m, files))
    assert results[0] == results[1] and len(opened) == 2 * len(files)
    monkeypatch.undo()
    from PIL import PngImagePlugin
    original = PngImagePlugin.PngImageFile._open

    def tiny(self):
        original(self)
        self._size = (1, 1)
    monkeypatch.setattr(PngImagePlugin.PngImageFile, "_open", tiny)
    results = both(lambda m: sizes_outcome(m, files))
    assert results[0] == results[1] and "(1, 1)" in results[0][0][1][0]


def test_decompression_limit_is_read_per_scan(image_tree, monkeypatch):
    files = [p for p in sorted(image_tree.glob("*/*")) if p.name.startswith(("png_L.", "bmp_RGB."))]
    for limit in (None, 50, 91, 92, 200, 10**30, -1):
        monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", limit)
        results = both(lambda m: sizes_outcome(m, files))
        assert results[0] == results[1], limit


def test_registered_plugin_before_png_is_asked(image_tree, monkeypatch):
    files = [p for p in sorted(image_tree.glob("*/*")) if p.name.startswith("png_L.")]

    class Claiming(Image.Image):
        format = "CLAIM"

        def __init__(self, fp, filename):
            super().__init__()
            self._size = (4, 4)
            self._mode = "L"
    monkeypatch.setitem(Image.OPEN, "CLAIM", (Claiming, lambda prefix: prefix.startswith(b"\x89PNG")))
    monkeypatch.setattr(Image, "ID", ["CLAIM"] + Image.ID)
    results = both(lambda m: sizes_outcome(m, files))
    assert results[0] == results[1] and results[0][0][1][0] == Counter({"(4, 4)": 1})


def test_changes_between_scans_are_seen_by_the_next_scan(image_tree, monkeypatch):
    # What one scan found out about Pillow is kept for the next: every
    # change in between must count, down to an accept function's code.
    from PIL import PcxImagePlugin
    files = [p for p in sorted(image_tree.glob("*/*")) if p.name.startswith(("png_L.", "png_RGB."))]
    monkeypatch.setattr(Image, "ID", ["PCX"] + [f for f in Image.ID if f != "PCX"])
    for _ in range(2):
        results = both(lambda m: sizes_outcome(m, files))
        assert results[0] == results[1] and results[0][0][0] == "value"

    def refusing(prefix):
        raise ValueError("accept changed")
    monkeypatch.setattr(PcxImagePlugin._accept, "__code__", refusing.__code__)
    results = both(lambda m: sizes_outcome(m, files))
    assert results[0] == results[1] and results[0][0][:3] == ("error", ValueError, "accept changed")
    monkeypatch.undo()
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 2)
    results = both(lambda m: sizes_outcome(m, files))
    assert results[0] == results[1] and results[0][0][0] == "error"


def test_audit_events_match(image_tree):
    files = [p for p in sorted(image_tree.glob("*/*")) if p.name.startswith(("png_L.", "jpeg_L.", "tiff."))]
    code = f"""
import asyncio, sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
import pretrain.analyzing_tools as native
from helpers import analysis as reference
from pathlib import Path
files = [Path(p) for p in {[str(p) for p in files]!r}]
events = []
sys.addaudithook(lambda e, a: events.append((e, a)) if e in ("open", "glob.glob", "glob.glob/2", "os.scandir") else None)
for module in (native, reference):
    tool = module.ClsAnalyzingTool({str(files[0].parent.parent)!r})
    asyncio.run(tool.get_path_list())
    tool.path_list = files
    asyncio.run(tool.get_image_size_distribution())
    # Imports open .pyc files, or the archive that holds the standard library.
    print([e for e in events if not str(e[1][0]).endswith((".pyc", ".zip"))])
    events.clear()
"""
    lines = run_python(code).stdout.splitlines()
    assert len(lines) == 2 and lines[0] == lines[1]


def test_listings_refused_by_an_audit_hook_match(tmp_path):
    random_tree(tmp_path, 4)
    code = f"""
import asyncio, sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
import pretrain.analyzing_tools as native
from helpers import analysis as reference
state = dict(refusal=None, every=0, events=[])

def hook(event, args):
    if event == "os.scandir" and state["refusal"]:
        state["events"].append(args[0])
        if len(state["events"]) % state["every"] == 0:
            raise state["refusal"]("refused")
sys.addaudithook(hook)
for refusal, every in ((OSError, 2), (OSError, 3), (PermissionError, 5), (OSError, 9), (RuntimeError, 4)):
    results = []
    for module in (native, reference):
        state.update(refusal=refusal, every=every, events=[])
        try:
            found = [str(p) for p in asyncio.run(module.ClsAnalyzingTool({str(tmp_path)!r}).get_path_list())]
        except Exception as error:
            found = repr(error)
        state["refusal"] = None
        results.append((found, state["events"]))
    assert results[0] == results[1], (refusal, every, results)
    print(len(results[0][1]))
"""
    counts = run_python(code).stdout.split()
    assert len(counts) == 5 and int(counts[-2]) > 9, counts


# ---- crashes found in the old pathlib shortcut (each in a fresh interpreter) ----

CRASH_SETUP = f"""
import asyncio, pathlib, sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
import pretrain.analyzing_tools as native
from helpers import analysis as reference

def outcome(module, run):
    try:
        return ("value", run(module))
    except Exception as error:
        return ("error", type(error).__name__, str(error))
"""


def test_suffix_of_an_anchored_path_without_parts_raises():
    code = CRASH_SETUP + """
def run(module):
    path = pathlib.Path("/x/y.png")
    path._parts = []
    tool = module.ClsAnalyzingTool("/x")
    tool.path_list = [path]
    return asyncio.run(tool.get_image_format_distribution())
results = [outcome(m, run) for m in (native, reference)]
assert results[0] == results[1] and results[0][1] == "IndexError", results
print("ok")
"""
    assert run_python(code).stdout.strip() == "ok"


def test_relative_to_with_a_part_that_empties_the_list():
    code = CRASH_SETUP + """
class Evil(str):
    def __eq__(self, other):
        self.owner.clear()
        return str.__eq__(self, other)
    __hash__ = str.__hash__

def run(module):
    path = pathlib.Path("/data/a/x.png")
    evil = Evil("data")
    path._parts = ["/", evil, "a", "x.png"]
    evil.owner = path._parts
    tool = module.ClsAnalyzingTool("/data")
    tool.path_list = [path, pathlib.Path("/data/b/y.png")]
    return asyncio.run(tool.get_category_distribution())
results = [outcome(m, run) for m in (native, reference)]
assert results[0] == results[1], results
print("ok")
"""
    assert run_python(code).stdout.strip() == "ok"


def test_replaced_posix_path_class_is_never_filled_by_hand(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "x.png").write_bytes(b"")
    code = CRASH_SETUP + f"""
class Fake(dict):
    pass

def run(module):
    pathlib.PosixPath = Fake
    try:
        tool = module.ClsAnalyzingTool({str(tmp_path)!r})
        found = asyncio.run(tool.get_path_list())
        return [type(p).__name__ for p in found]
    finally:
        pathlib.PosixPath = real

real = pathlib.PosixPath
results = [outcome(m, run) for m in (native, reference)]
assert results[0] == results[1], results
print("ok")
"""
    assert run_python(code).stdout.strip() == "ok"


def test_collector_state_is_left_as_found(tmp_path):
    import gc
    random_tree(tmp_path, 5)
    for enabled in (True, False):
        gc.enable() if enabled else gc.disable()
        try:
            drive(native.ClsAnalyzingTool(tmp_path).get_path_list())
            assert gc.isenabled() is enabled
        finally:
            gc.enable()


def test_scans_survive_a_collection_at_every_allocation(tmp_path):
    for i, name in enumerate(("a/1.png", "a/2.jpg", "b/3.gif", "b/4.bmp", "b/5.tiff")):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(image_bytes(Image.registered_extensions()["." + name.split(".")[1]]))
    code = f"""
import asyncio, gc
import pretrain.analyzing_tools as native

async def progress(_):
    await asyncio.sleep(0)

async def scan():
    tool = native.ClsAnalyzingTool({str(tmp_path)!r})
    await tool.get_category_distribution(progress)
    await tool.get_image_size_distribution(progress)
    await tool.get_image_size_distribution()
    await tool.get_random_images(4)
    return tool.image_size_distribution

gc.set_threshold(1)
print(sorted(asyncio.run(scan()).items()))
"""
    assert run_python(code).stdout.strip() == "[('(13, 7)', 5)]"


def test_fresh_process_sends_only_its_first_file_to_pillow(tmp_path):
    """Image.open loads Pillow's plugins on its first file (preinit, or from
    Pillow 12.2 on the plugin of the file's extension alone); the files after
    it are read natively, whichever way the plugins came."""
    for i in range(5):
        (tmp_path / "c").mkdir(exist_ok=True)
        (tmp_path / "c" / f"{i}.bmp").write_bytes(image_bytes("BMP", "RGB", (7 + i, 3)))
    proc = run_python(f"""
        import sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        from pathlib import Path
        from PIL import Image
        import pretrain.analyzing_tools as m
        from test_analysis_scans import count_python_opens, drive
        assert Image._initialized == 0
        tool = m.ClsAnalyzingTool({str(tmp_path)!r})
        tool.path_list = sorted(map(str, Path({str(tmp_path)!r}).glob("*/*")))  # text: native on every system
        print(count_python_opens(lambda: drive(tool.get_image_size_distribution())), len(tool.image_size_distribution))
    """)
    assert proc.stdout.split() == ["1", "5"]
