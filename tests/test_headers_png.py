"""The size scan of PNG files, native and plain Python side by side: Pillow's
save variants, each chunk handler's failures, the text limits and the
compressed chunks' sizes."""
import asyncio
import io
import random
import struct
import warnings
import zlib

import pytest
from PIL import Image, ImageFile, PngImagePlugin

import pretrain.analyzing_tools as native
from helpers import analysis as reference
from test_analysis_scans import count_python_opens

IDAT = zlib.compress(b"\0" * 4)


def chunk(cid, data, crc=None):
    if crc is None:
        crc = zlib.crc32(cid + data)
    return struct.pack(">I", len(data)) + cid + data + struct.pack(">I", crc & 0xFFFFFFFF)


def ihdr(width=4, height=3, depth=8, colour=2, filter_=0):
    return chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, filter_, 0))


def png(*chunks, header=None):
    return (b"\x89PNG\r\n\x1a\n" + (header if header is not None else ihdr()) + b"".join(chunks)
            + chunk(b"IDAT", IDAT) + chunk(b"IEND", b""))


def scan(module, paths):
    tool = module.ClsAnalyzingTool(str(paths[0].parent))
    tool.path_list = [str(p) for p in paths]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            value = ("value", asyncio.run(tool.get_image_size_distribution()))
        except Exception as error:  # noqa: BLE001 - the exception is what is compared
            value = ("error", type(error), str(error))
    return value, [(w.category, str(w.message)) for w in caught]




class Files:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    def write(self, data):
        self.count += 1
        path = self.directory / f"f{self.count}.png"
        path.write_bytes(data)
        return path

    def check(self, data):
        """The scan of one file matches plain Python; True when answered natively."""
        path = self.write(data)
        expected = scan(reference, [path])
        assert scan(native, [path]) == expected, data
        return count_python_opens(lambda: scan(native, [path])) == 0


@pytest.fixture
def files(tmp_path):
    return Files(tmp_path)


@pytest.fixture
def settings():
    """Restores the Pillow settings a test changes."""
    saved = (ImageFile.LOAD_TRUNCATED_IMAGES, PngImagePlugin.MAX_TEXT_CHUNK, PngImagePlugin.MAX_TEXT_MEMORY)
    yield
    ImageFile.LOAD_TRUNCATED_IMAGES, PngImagePlugin.MAX_TEXT_CHUNK, PngImagePlugin.MAX_TEXT_MEMORY = saved


def saved_variants():
    from PIL import ImageCms
    rgb = Image.new("RGB", (37, 23), (10, 200, 30))
    info = PngImagePlugin.PngInfo()
    info.add_text("Title", "plain text")
    info.add_text("Comment", "compressed " * 50, zip=True)
    info.add_itxt("Autor", "Ünïcødé ✓", lang="de", tkey="Autor")
    info.add_itxt("Big", "žluťoučký " * 40, zip=True)
    misc = PngImagePlugin.PngInfo()
    misc.add(b"tIME", bytes([7, 234, 12, 9, 12, 0, 0]))
    misc.add(b"bKGD", b"\x00\x01\x00\x02\x00\x03")
    misc.add(b"sBIT", b"\x08\x08\x08")
    misc.add(b"pHYs", b"\x00\x00\x00\x02\x00\x00\x00\x03\x00")
    misc.add(b"prVt", b"private")
    exif = Image.Exif()
    exif[0x0112] = 1
    frames = [Image.new("RGBA", (40, 30), (i * 60, 0, 0, 255)) for i in range(3)]
    return [
        (rgb, dict(pnginfo=info)),
        (rgb, dict(pnginfo=misc)),
        (rgb.convert("P", palette=Image.Palette.ADAPTIVE, colors=16), dict(optimize=True)),
        (rgb, dict(icc_profile=ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes())),
        (rgb.convert("P"), dict(transparency=0)),
        (rgb.convert("P"), dict(transparency=bytes(range(0, 250, 10)))),
        (rgb.convert("L"), dict(transparency=7)),
        (rgb, dict(transparency=(10, 200, 30))),
        (Image.new("1", (9, 9), 1), dict(transparency=1)),
        (Image.new("I;16", (20, 10), 300), dict(dpi=(72, 72))),
        (rgb, dict(exif=exif)),
        (frames[0], dict(save_all=True, append_images=frames[1:], duration=100, disposal=1, loop=0)),
        (frames[0], dict(save_all=True, append_images=frames[1:], default_image=True, disposal=2)),
    ]


def test_pillows_save_variants_are_answered_natively(files):
    paths = []
    for image, options in saved_variants():
        buffer = io.BytesIO()
        image.save(buffer, "PNG", **options)
        assert files.check(buffer.getvalue()), options
        paths.append(files.write(buffer.getvalue()))
    assert scan(native, paths) == scan(reference, paths)
    assert count_python_opens(lambda: scan(native, paths)) == 0


TEXT = chunk(b"tEXt", b"key\0value")


@pytest.mark.parametrize("data, answered", [
    # Handlers that fail on short or odd chunks, as Pillow fails.
    (png(chunk(b"tRNS", b"\0"), header=ihdr(colour=0)), False),
    (png(chunk(b"tRNS", b"\0\1\0\2"), header=ihdr(colour=2)), False),
    (png(chunk(b"tRNS", b"\0\1"), header=ihdr(depth=16, colour=0)), True),
    (png(chunk(b"tRNS", b"\0"), header=ihdr(colour=6)), True),
    (png(chunk(b"PLTE", b"\0" * 6), chunk(b"tRNS", b"\xff\0"), header=ihdr(colour=3)), True),
    (png(chunk(b"gAMA", b"\0\0\1")), False),
    (png(chunk(b"cHRM", b"\0" * 6)), False),
    (png(chunk(b"sRGB", b"")), False),
    (png(chunk(b"pHYs", b"\0" * 8)), False),
    (png(chunk(b"pHYs", b"\0\0\0\1\0\0\0\2\7")), True),
    (png(chunk(b"zTXt", b"k\0\1" + zlib.compress(b"x"))), False),
    # zlib.error empties the text; far below MAX_TEXT_CHUNK the data's size
    # bounds the text's.
    (png(chunk(b"zTXt", b"k\0\0not zlib")), True),
    (png(chunk(b"zTXt", b"k\0")), True),
    (png(chunk(b"iCCP", b"p\0\1" + zlib.compress(b"x"))), False),
    (png(chunk(b"iCCP", b"p\0")), False),
    (png(chunk(b"iCCP", b"profile\0\0" + zlib.compress(b"icc" * 100))), True),
    # A wrong Adler-32 is zlib.error, which drops the profile or empties the
    # text: opening goes on.
    (png(chunk(b"iCCP", b"p\0\0" + zlib.compress(b"icc")[:-4] + b"\0\0\0\0")), True),
    (png(chunk(b"zTXt", b"k\0\0" + zlib.compress(b"text")[:-4] + b"\0\0\0\0")), True),
    (png(chunk(b"tEXt", b"no separator"), chunk(b"tEXt", b"\0value only")), True),
    (png(chunk(b"iTXt", b"k\0\0\0en\0t\0\xff\xfe bad utf-8")), True),
    (png(chunk(b"iTXt", b"k\0\0\0\xc0\x80\0t\0overlong language")), True),
    (png(chunk(b"iTXt", b"k\0\1\1en\0t\0unknown method")), True),
    (png(chunk(b"iTXt", b"k\0\1\0en\0t\0" + zlib.compress("ťext".encode()))), True),
    (png(chunk(b"iTXt", b"k\0\1")), True),
    (png(chunk(b"eXIf", b"MM\0*")), True),
    # Header and chunk ids.
    (png(header=ihdr(filter_=1)), False),
    (png(header=ihdr(depth=16, colour=3)), False),
    (png(header=ihdr(width=0)), False),
    (png(header=chunk(b"IHDR", b"\0" * 12)), False),
    (png(chunk(b"IHDR", ihdr()[8:-4])), False),
    (png(chunk(b"pr t", b"")), False),
    (png(chunk(b"IEND", b"")), False),
    (png(chunk(b"tIME", b"\0" * 7), chunk(b"zzzz", b"private"), chunk(b"Z9_a", b"")), True),
    # Checksums.
    (png(chunk(b"tEXt", b"k\0v", crc=0)), False),
    (png(chunk(b"PLTE", b"\0" * 3, crc=0)), False),
    (png(chunk(b"IDAT", IDAT, crc=0)), True),
    # APNG control chunks.
    (png(chunk(b"acTL", struct.pack(">II", 2, 0))), True),
    (png(chunk(b"acTL", struct.pack(">II", 2, 0)), chunk(b"acTL", struct.pack(">II", 2, 0))), False),
    (png(chunk(b"acTL", struct.pack(">II", 0, 0))), False),
    (png(chunk(b"acTL", struct.pack(">II", 0x80000001, 0))), False),
    (png(chunk(b"acTL", b"\0" * 7)), False),
    (png(chunk(b"fcTL", struct.pack(">IIIIIHHBB", 1, 4, 3, 0, 0, 1, 10, 0, 0))), False),
    (png(chunk(b"fcTL", struct.pack(">IIIIIHHBB", 0, 4, 3, 1, 0, 1, 10, 0, 0))), False),
    (png(chunk(b"fcTL", struct.pack(">IIIIIHHBB", 0, 4, 3, 0, 0, 1, 10, 0, 0)),
         chunk(b"fcTL", struct.pack(">IIIIIHHBB", 1, 2, 2, 2, 1, 1, 0, 1, 0))), True),
    (png(chunk(b"acTL", struct.pack(">II", 2, 0)),
         chunk(b"fcTL", struct.pack(">IIIIIHHBB", 0, 4, 3, 0, 0, 1, 10, 2, 0))), True),
    (png(chunk(b"fcTL", b"\0" * 25)), False),
    (png(chunk(b"fdAT", b"\0\0\0\0")), False),
])
def test_chunk_handlers_fail_as_pillows_do(files, data, answered):
    assert files.check(data) == answered


def frame_control(dispose, seq=0):
    return chunk(b"fcTL", struct.pack(">IIIIIHHBB", seq, 4, 3, 0, 0, 1, 10, dispose, 0))


def text_chunk(kind, key, value):
    if kind == "tEXt":
        return chunk(b"tEXt", key + b"\0" + value)
    if kind == "zTXt":
        return chunk(b"zTXt", key + b"\0\0" + zlib.compress(value))
    if kind == "iTXt":
        return chunk(b"iTXt", key + b"\0\0\0en\0k\0" + value)
    return chunk(b"iTXt", key + b"\0\1\0en\0k\0" + zlib.compress(value))


ANIMATION = chunk(b"acTL", struct.pack(">II", 2, 0))
TEXT_KINDS = ["tEXt", "zTXt", "iTXt", "compressed iTXt"]


@pytest.mark.parametrize("kind", TEXT_KINDS)
@pytest.mark.parametrize("value", [b"0,0,4,3", b""])
@pytest.mark.parametrize("dispose", [1, 2])
def test_text_named_bbox_after_the_frame_control(files, kind, value, dispose):
    """Before 13.0.0 opening an APNG crops its first frame's disposal to
    info["bbox"], where a later text chunk of that name lands: the crop
    fails on a string, and an empty one leaves no extent at all."""
    data = png(ANIMATION, frame_control(dispose), text_chunk(kind, b"bbox", value))
    crops_on_open = int(Image.__version__.split(".")[0]) < 13
    assert files.check(data) == (not crops_on_open)
    if crops_on_open:
        with pytest.raises(AttributeError if not value else Image.UnidentifiedImageError):
            Image.open(io.BytesIO(data))


@pytest.mark.parametrize("kind", TEXT_KINDS)
def test_text_keys_read_back_on_opening_an_apng(files, kind):
    bbox = text_chunk(kind, b"bbox", b"x")
    # A frame control after the text replaces its extent; no disposal, or a
    # text named "disposal", means no crop; without acTL no frame is sought.
    assert files.check(png(ANIMATION, bbox, frame_control(1)))
    assert files.check(png(ANIMATION, frame_control(0), bbox))
    assert files.check(png(ANIMATION, frame_control(2), bbox, text_chunk("tEXt", b"disposal", b"2")))
    assert files.check(png(frame_control(1), bbox))
    for key in (b"blend", b"default_image", b"disposal"):
        assert files.check(png(ANIMATION, frame_control(1), text_chunk(kind, key, b"1")))


def test_truncated_image_setting_relaxes_checks_as_pillow_does(files, settings):
    ImageFile.LOAD_TRUNCATED_IMAGES = True
    assert files.check(png(chunk(b"tEXt", b"k\0v", crc=0)))
    assert files.check(png(chunk(b"sRGB", b""), chunk(b"pHYs", b""), chunk(b"acTL", b""), chunk(b"fcTL", b"")))
    assert not files.check(png(chunk(b"PLTE", b"\0" * 3, crc=0)))
    assert not files.check(png(header=chunk(b"IHDR", b"\0" * 12)))
    ImageFile.LOAD_TRUNCATED_IMAGES = 1
    assert not files.check(png(TEXT))


def compressed_text(size):
    return zlib.compress(bytes(random.Random(size).choices(b"abc ", k=size)), 9)


@pytest.mark.parametrize("cid, prefix", [(b"zTXt", b"key\0\0"), (b"iCCP", b"name\0\0"), (b"iTXt", b"key\0\1\0\0\0")])
def test_decompressed_size_is_answered_only_below_the_limit(files, settings, cid, prefix):
    data = png(chunk(cid, prefix + compressed_text(5000)))
    for limit, answered in ((4999, False), (5000, False), (5001, True), (0, False), (-1, False)):
        PngImagePlugin.MAX_TEXT_CHUNK = limit
        assert files.check(data) == answered, limit
    PngImagePlugin.MAX_TEXT_CHUNK = 5001.0
    assert not files.check(data)


def test_text_memory_is_counted_across_chunks(files, settings):
    data = png(chunk(b"tEXt", b"a\0" + b"x" * 300), chunk(b"zTXt", b"b\0\0" + compressed_text(200)),
               chunk(b"iTXt", b"c\0\0\0\0\0" + "ž".encode() * 50), chunk(b"tEXt", b"\0not counted"))
    for limit, answered in ((549, False), (550, True), (-1, False)):
        PngImagePlugin.MAX_TEXT_MEMORY = limit
        assert files.check(data) == answered, limit
    # A compressed iTXt counts up to one code point a byte: near the limit
    # Pillow decides.
    data = png(chunk(b"iTXt", b"c\0\1\0\0\0" + zlib.compress("ž".encode() * 50)))
    PngImagePlugin.MAX_TEXT_MEMORY = 50
    assert not files.check(data)
    PngImagePlugin.MAX_TEXT_MEMORY = 100
    assert files.check(data)


def zlib_streams():
    rng = random.Random(7)
    texts = [b"", b"a", bytes(rng.randrange(256) for _ in range(3000)), b"abcabcabd" * 700,
             bytes(rng.choices(b"ab", k=40000))]
    for text in texts:
        for level, strategy, wbits in ((0, 0, 15), (1, 0, 15), (6, zlib.Z_FILTERED, 12), (9, zlib.Z_RLE, 9),
                                       (9, zlib.Z_HUFFMAN_ONLY, 15), (6, zlib.Z_FIXED, 10), (9, 0, 15)):
            compressor = zlib.compressobj(level, zlib.DEFLATED, wbits, 9, strategy)
            yield compressor.compress(text) + compressor.flush()


def python_inflated_size(stream):
    try:
        return len(zlib.decompressobj().decompress(stream))
    except zlib.error:
        return None


def test_compressed_chunks_match_zlib_when_intact_and_when_damaged(files, settings):
    """The text memory limit set at the size zlib gives, and one below it,
    shows any size the native reader got wrong."""
    rng = random.Random(11)
    for stream in zlib_streams():
        damaged = []
        for _ in range(4):
            copy = bytearray(stream)
            copy[rng.randrange(len(copy))] ^= 1 << rng.randrange(8)
            damaged.append(bytes(copy))
        for data, intact in [(stream, True), (stream + b"trailing", True), (stream[:-1], False)] + [
                (d, False) for d in damaged]:
            size = python_inflated_size(data)
            if size is None:
                files.check(png(chunk(b"zTXt", b"k\0\0" + data)))
                continue
            for limit in (size - 1, size):
                PngImagePlugin.MAX_TEXT_MEMORY = limit
                answered = files.check(png(chunk(b"zTXt", b"k\0\0" + data)))
                assert answered == (intact and limit == size) or not intact
                PngImagePlugin.MAX_TEXT_MEMORY = 1 << 30
                PngImagePlugin.MAX_TEXT_CHUNK = max(1, limit)
                files.check(png(chunk(b"iCCP", b"p\0\0" + data)))
                PngImagePlugin.MAX_TEXT_CHUNK = ImageFile.SAFEBLOCK
    preset = zlib.compressobj(zdict=b"dictionary")
    data = png(chunk(b"iCCP", b"p\0\0" + preset.compress(b"dictionary") + preset.flush()))
    assert files.check(data)
    PngImagePlugin.MAX_TEXT_CHUNK = 100
    assert not files.check(data)


def test_length_checks_follow_the_release(files, settings):
    """From 13.0.0 gAMA and cHRM check their length, and
    LOAD_TRUNCATED_IMAGES lets short ones pass."""
    since_13 = int(Image.__version__.split(".")[0]) >= 13
    assert files.check(png(chunk(b"cHRM", b"\0" * 33))) == since_13
    assert files.check(png(chunk(b"cHRM", b"\0" * 36)))
    assert files.check(png(chunk(b"cHRM", b"\0" * 4))) != since_13
    ImageFile.LOAD_TRUNCATED_IMAGES = True
    assert files.check(png(chunk(b"gAMA", b""), chunk(b"tRNS", b""), header=ihdr(colour=0))) == since_13


@pytest.mark.parametrize("owner, name, value", [
    (PngImagePlugin.PngStream, "chunk_tIME", lambda self, pos, length: 1 / 0),
    (PngImagePlugin.ChunkStream, "__getattr__", lambda self, name: 1 / 0),
    (PngImagePlugin, "_MODES", {**PngImagePlugin._MODES, (8, 2): ("RGBX", "RGB")}),
    (PngImagePlugin, "is_cid", lambda cid: None),
    (PngImagePlugin, "_simple_palette", __import__("re").compile("x")),
    (PngImagePlugin, "_safe_zlib_decompress", lambda s: 1 / 0),
])
def test_changed_plugin_code_goes_to_pillow(files, owner, name, value):
    data = png(chunk(b"PLTE", b"\0" * 3), chunk(b"tRNS", b"\0"), chunk(b"zTXt", b"k\0\0" + zlib.compress(b"v")),
               chunk(b"tIME", b"\0" * 7), header=ihdr(colour=3))
    assert files.check(data)
    missing = object()
    saved = vars(owner).get(name, missing)
    setattr(owner, name, value)
    try:
        assert not files.check(data)
    finally:
        if saved is missing:
            delattr(owner, name)
        else:
            setattr(owner, name, saved)
    assert files.check(data)
