"""GIF and BMP files are sized natively exactly as Image.open sizes them:
Pillow-written files of each kind, hand-made headers of every layout Pillow
reads, and the block quirks of GifImageFile._seek, each compared with the
plain Python tool; the clean ones must not reach Image.open."""
import asyncio
import io
import struct
import warnings
from pathlib import Path

import pytest
from PIL import Image

import pretrain.analyzing_tools as native
from helpers import analysis as reference
from test_analysis_scans import count_python_opens

# ---- GIF blocks ---------------------------------------------------------------


def sub_blocks(data, size=255):
    chunks = [data[i:i + size] for i in range(0, len(data), size)]
    return b"".join(bytes([len(c)]) + c for c in chunks) + b"\0"


def gif_screen(width, height, palette_bits=None, version=b"89a", palette=None):
    flags = 0 if palette_bits is None else 0x80 | (palette_bits - 1)
    head = b"GIF" + version + struct.pack("<HHBBB", width, height, flags, 0, 0)
    if palette_bits is not None:
        head += palette if palette is not None else bytes(i & 255 for i in range(3 << palette_bits))
    return head


def gif_control(disposal=0, transparency=None, delay=10):
    flags = (disposal << 2) | (transparency is not None)
    return b"!\xf9\x04" + struct.pack("<BHB", flags, delay, transparency or 0) + b"\0"


def gif_extension(label, *blocks):
    return b"!" + bytes([label]) + b"".join(bytes([len(b)]) + b for b in blocks) + b"\0"


def gif_frame(x, y, width, height, palette_bits=None):
    flags = 0 if palette_bits is None else 0x80 | (palette_bits - 1)
    local = bytes(3 << palette_bits) if palette_bits else b""
    return b"," + struct.pack("<HHHHB", x, y, width, height, flags) + local + b"\x02" + sub_blocks(b"\x44\x01")


def gif(*parts, screen=(10, 10)):
    return gif_screen(*screen, palette_bits=2) + b"".join(parts) + b";"


NETSCAPE_LOOP = gif_extension(255, b"NETSCAPE2.0", b"\x01\x00\x00")

# ---- BMP headers --------------------------------------------------------------


def bmp(width, height, bits=24, header_size=40, compression=0, colors=0, masks=None, palette=None, pixels=b"\0" * 64,
        after_header=b""):
    if header_size == 12:
        info = struct.pack("<IHHHH", 12, width, height, 1, bits)
    else:
        info = struct.pack("<IiiHHIIiiII", header_size, width, height, 1, bits, compression, 0, 2835, 2835, colors, 0)
        extra = b"".join(struct.pack("<I", m) for m in (masks or ()))
        if header_size == 40:
            after_header = extra + after_header
        else:
            info += extra
        info = info.ljust(header_size, b"\0")
    if palette is None and bits <= 8:
        count = colors or 1 << bits
        palette = b"".join(bytes([i * 37 & 255, i * 91 & 255, i & 255]) + (b"" if header_size == 12 else b"\0")
                           for i in range(count))
    body = info + after_header + (palette or b"")
    return b"BM" + struct.pack("<IHHI", 14 + len(body) + len(pixels), 0, 0, 14 + len(body)) + body + pixels


# ---- comparing the two tools --------------------------------------------------


def run(module, paths):
    tool = module.ClsAnalyzingTool(Path(paths[0]).parent)
    tool.path_list = [str(p) for p in paths]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            value = ("value", dict(asyncio.run(tool.get_image_size_distribution())))
        except Exception as error:  # noqa: BLE001 - the exception is what is compared
            value = ("error", type(error), str(error))
    return value, [(w.category, str(w.message)) for w in caught]




def check(tmp_path, name, data, *, native_expected):
    """The native scan of one file equals the plain one; it reaches
    Image.open only where it may not answer itself."""
    path = tmp_path / name
    path.write_bytes(data)
    results = [run(module, [path]) for module in (native, reference)]
    assert results[0] == results[1], name
    opens = count_python_opens(lambda: run(native, [path]))
    assert (opens == 0) == native_expected, (name, opens, results[1])
    return results[1][0]


def pillow_file(image, fmt, **options):
    out = io.BytesIO()
    image.save(out, fmt, **options)
    return out.getvalue()


def frames(mode="P", count=3, size=(16, 12)):
    images = []
    for i in range(count):
        im = Image.new("L", size, 40 * i)
        im.paste(200, (i, i, i + 4, i + 3))
        images.append(im.convert(mode) if mode != "L" else im)
    return images


# ---- GIF ----------------------------------------------------------------------


def test_pillow_written_gifs_are_read_natively(tmp_path):
    rgb = Image.new("RGB", (21, 13), (250, 10, 30))
    variants = {
        "p": pillow_file(rgb.convert("P"), "GIF"),
        "l": pillow_file(Image.new("L", (7, 30), 99), "GIF"),
        "rgb": pillow_file(rgb, "GIF"),
        "comment": pillow_file(rgb, "GIF", comment=b"made here"),
        "transparent": pillow_file(rgb.convert("P"), "GIF", transparency=0),
        "loop": pillow_file(frames()[0], "GIF", save_all=True, append_images=frames()[1:], loop=0),
    }
    for disposal in range(4):
        first, *rest = frames()
        variants[f"disposal{disposal}"] = pillow_file(first, "GIF", save_all=True, append_images=rest,
                                                      disposal=disposal, duration=40, loop=2, transparency=0)
    for name, data in variants.items():
        value = check(tmp_path, name + ".gif", data, native_expected=True)
        assert value[0] == "value"


def test_netscape_block_followed_by_its_terminator_is_read_as_pillow_reads_it(tmp_path):
    # Pillow reads one more block after NETSCAPE2.0 and then skips what follows
    # as sub-blocks: the first descriptor (",", 44) is skipped as a block of 44
    # bytes, and a later, larger frame is the one found.
    netscape_bare = b"!\xff\x0bNETSCAPE2.0\0"
    hidden = gif_frame(0, 0, 10, 10)
    hidden = hidden[1:] + bytes(44 - len(hidden) + 1)
    data = gif(netscape_bare, b",", hidden, b"\0", gif_frame(0, 0, 20, 20), screen=(10, 10))
    assert check(tmp_path, "widened.gif", data, native_expected=True) == ("value", {"(20, 20)": 1})
    # When the skip runs off the end, Pillow raises where the frame is not
    # found.
    data = gif(netscape_bare, gif_frame(0, 0, 10, 10), screen=(10, 10))
    assert check(tmp_path, "lost.gif", data, native_expected=False)[0] == "error"


def test_extension_layouts_match_pillow(tmp_path):
    cases = {
        # every label with data, each skipped up to its terminator
        "plain_text": (gif(gif_extension(1, bytes(12), b"hello"), gif_frame(0, 0, 10, 10)), True),
        "comment": (gif(gif_extension(254, b"a" * 250, b"b"), gif_frame(0, 0, 10, 10)), True),
        "xmp": (gif(gif_extension(255, b"XMP DataXMP", b"<x/>" * 60), gif_frame(0, 0, 10, 10)), True),
        "icc": (gif(gif_extension(255, b"ICCRGBG1012", bytes(200)), gif_frame(0, 0, 10, 10)), True),
        "other_label": (gif(gif_extension(0x42, b"abc"), gif_frame(0, 0, 10, 10)), True),
        "loop": (gif(NETSCAPE_LOOP, gif_frame(0, 0, 10, 10)), True),
        "netscape_longer_block": (gif(gif_extension(255, b"NETSCAPE2.0xyz", b"\x01\x05\x00", b"more"),
                                      gif_frame(0, 0, 10, 10)), True),
        "control_long_block": (gif(gif_extension(249, b"\x09\x0a\x00\x05\x00\x00"), gif_frame(0, 0, 10, 10)), True),
        "stray_bytes": (gif(b"\0\x01\x7f", gif_frame(0, 0, 10, 10)), True),
        "gif87a": (gif_screen(10, 10, version=b"87a") + gif_frame(0, 0, 10, 10) + b";", True),
        "no_global_palette": (gif_screen(9, 8) + gif_frame(0, 0, 9, 8, palette_bits=3) + b";", True),
        "grey_palette": (gif_screen(9, 8, 1, palette=bytes([0, 0, 0, 1, 1, 1])) + gif_frame(0, 0, 9, 8) + b";", True),
        "wider_frame": (gif(gif_frame(5, 3, 30, 4)), True),
        "frame_on_empty_screen": (gif(gif_frame(0, 0, 6, 6), screen=(0, 0)), True),
        # an empty comment ends at its terminator
        "empty_comment": (gif(b"!\xfe\0", gif_frame(0, 0, 10, 10)), True),
        # an empty first block lets the skip read on: here over the frame
        "empty_control": (gif(b"!\xf9\0", gif_frame(0, 0, 10, 10)), False),
        "empty_application": (gif(b"!\xff\0", b"\x03abc\0", gif_frame(0, 0, 10, 10)), True),
        # graphic control blocks too short for Pillow's reads
        "short_control": (gif(gif_extension(249, b"\x00\x01"), gif_frame(0, 0, 10, 10)), False),
        "short_transparent_control": (gif(gif_extension(249, b"\x01\x01\x00"), gif_frame(0, 0, 10, 10)), False),
        "no_frame": (gif(NETSCAPE_LOOP), False),
        "zero_size": (gif(gif_frame(0, 0, 0, 0), screen=(0, 0)), False),
        "truncated_descriptor": (gif_screen(10, 10, 2) + b",\0\0\0\0\x0a", False),
        "truncated_palette": (gif_screen(10, 10, 8)[:200], False),
    }
    for disposal in range(8):
        cases[f"disposal{disposal}"] = (gif(gif_control(disposal, transparency=1), gif_frame(2, 2, 5, 5),
                                            gif_control(disposal), gif_frame(0, 0, 10, 10)), True)
    for name, (data, native_expected) in cases.items():
        check(tmp_path, name + ".gif", data, native_expected=native_expected)


# ---- BMP ----------------------------------------------------------------------


def test_pillow_written_bmps_are_read_natively(tmp_path):
    for mode in ("1", "L", "P", "RGB", "RGBA"):
        image = Image.new("RGB", (19, 7), (12, 200, 40)).convert(mode)
        value = check(tmp_path, mode + ".bmp", pillow_file(image, "BMP"), native_expected=True)
        assert value == ("value", {"(19, 7)": 1})


def test_header_layouts_match_pillow(tmp_path):
    cases = {}
    for header_size in (12, 40, 52, 56, 64, 108, 124):
        for bits in (1, 4, 8, 24, 32) if header_size == 12 else (1, 4, 8, 16, 24, 32):
            cases[f"h{header_size}_b{bits}"] = (bmp(13, 9, bits, header_size), True)
    cases.update({
        "top_down": (bmp(13, -9, 24), True),
        "rle8": (bmp(13, 9, 8, compression=1), True),
        "rle4": (bmp(13, 9, 4, compression=2, colors=5), True),
        "rle8_any_depth": (bmp(13, 9, 24, compression=1), True),
        "small_palette": (bmp(13, 9, 8, colors=3), True),
        "grey_palette": (bmp(13, 9, 8, palette=b"".join(bytes([i, i, i, 0]) for i in range(256))), True),
        "short_palette": (bmp(13, 9, 8, colors=200, palette=b"", pixels=b""), True),
        "large_palette": (bmp(13, 9, 8, colors=65536, palette=b""), True),
        "oversized_palette": (bmp(13, 9, 8, colors=65537, palette=b""), False),
        "unsupported_depth": (bmp(13, 9, 2), False),
        "jpeg_compression": (bmp(13, 9, 24, compression=4), False),
        "unknown_header": (bmp(13, 9, 24, header_size=44), False),
        "truncated_header": (bmp(13, 9, 24, header_size=124)[:100], False),
        "zero_width": (bmp(0, 9, 24), False),
    })
    layouts = {
        16: [(0xF800, 0x7E0, 0x1F), (0x7C00, 0x3E0, 0x1F), (0xF00, 0xF0, 0xF)],
        24: [(0xFF0000, 0xFF00, 0xFF), (0xFF, 0xFF00, 0xFF0000)],
        32: [(0xFF0000, 0xFF00, 0xFF, 0), (0xFF, 0xFF00, 0xFF0000, 0xFF000000), (0xFF0000, 0xFF00, 0xFF, 0xFF000000),
             (0xFF000000, 0xFF0000, 0xFF00, 0xFF), (0, 0, 0, 0), (0xFF0000, 0xFF00, 0xFF, 0xFF)],
        8: [(0xE0, 0x1C, 0x3)],
    }
    supported = {16: [(0xF800, 0x7E0, 0x1F), (0x7C00, 0x3E0, 0x1F)], 24: [(0xFF0000, 0xFF00, 0xFF)],
                 32: [(0xFF0000, 0xFF00, 0xFF, 0), (0xFF000000, 0xFF0000, 0xFF00, 0), (0xFF000000, 0xFF00, 0xFF, 0),
                      (0xFF000000, 0xFF0000, 0xFF00, 0xFF), (0xFF, 0xFF00, 0xFF0000, 0xFF000000),
                      (0xFF0000, 0xFF00, 0xFF, 0xFF000000), (0xFF000000, 0xFF00, 0xFF, 0xFF0000), (0, 0, 0, 0)]}
    for bits, masks_list in layouts.items():
        for index, masks in enumerate(masks_list):
            for header_size in (40, 52, 56, 108, 124):
                written = (list(masks) + [0])[:3 if header_size in (40, 52) else 4]
                # 40- and 52-byte headers have no alpha mask: Pillow takes 0
                seen = tuple(written + [0])[:4] if bits == 32 else tuple(written[:3])
                cases[f"fields{bits}_{index}_h{header_size}"] = (
                    bmp(13, 9, bits, header_size, compression=3, masks=written), seen in supported.get(bits, ()))
    cases["fields_40_truncated"] = (bmp(13, 9, 32, 40, compression=3, masks=(0xFF0000,), pixels=b""), False)
    for name, (data, native_expected) in cases.items():
        check(tmp_path, name + ".bmp", data, native_expected=native_expected)


def test_changed_plugin_settings_send_files_to_pillow(tmp_path):
    from PIL import BmpImagePlugin, GifImagePlugin
    paths = [tmp_path / "a.bmp", tmp_path / "b.gif"]
    paths[0].write_bytes(bmp(5, 4, 2))
    paths[1].write_bytes(gif(gif_frame(0, 0, 10, 10)))
    assert count_python_opens(lambda: run(native, paths[1:])) == 0
    patches = [
        (BmpImagePlugin.BIT2MODE, 2, ("P", "P;2")),
        (BmpImagePlugin.BmpImageFile.COMPRESSIONS, "RLE8", 4),
    ]
    for table, key, value in patches:
        saved = dict(table)
        table[key] = value
        try:
            results = [run(module, paths[:1]) for module in (native, reference)]
            assert results[0] == results[1]
            assert count_python_opens(lambda: run(native, paths[:1])) == 1
        finally:
            table.clear()
            table.update(saved)
    saved = GifImagePlugin.LOADING_STRATEGY
    try:
        GifImagePlugin.LOADING_STRATEGY = GifImagePlugin.LoadingStrategy.RGB_ALWAYS
        assert count_python_opens(lambda: run(native, paths[1:])) == 0
        GifImagePlugin.LOADING_STRATEGY = 2.0
        assert count_python_opens(lambda: run(native, paths[1:])) == 1
    finally:
        GifImagePlugin.LOADING_STRATEGY = saved


def test_replaced_opening_code_sends_files_to_pillow(tmp_path):
    import copy
    from PIL import BmpImagePlugin, GifImagePlugin, ImageFile, ImagePalette
    bmp_path, gif_path = tmp_path / "a.bmp", tmp_path / "b.gif"
    bmp_path.write_bytes(bmp(5, 4, 8))
    gif_path.write_bytes(gif(gif_control(2, transparency=1), gif_frame(0, 0, 10, 10)))

    def wrapped(function):
        return lambda *args, **kwargs: function(*args, **kwargs)

    replacements = [
        (GifImagePlugin.GifImageFile, "data", gif_path), (GifImagePlugin.GifImageFile, "_seek", gif_path),
        (GifImagePlugin, "i16", gif_path), (GifImagePlugin, "_accept", gif_path), (copy, "copy", gif_path),
        (ImagePalette, "raw", gif_path), (ImagePalette, "raw", bmp_path),
        (BmpImagePlugin.BmpImageFile, "_bitmap", bmp_path), (BmpImagePlugin, "i32", bmp_path),
        (BmpImagePlugin, "o8", bmp_path), (ImageFile, "_safe_read", bmp_path),
    ]
    for owner, name, path in replacements:
        original = vars(owner)[name]
        setattr(owner, name, wrapped(original))
        try:
            results = [run(module, [path]) for module in (native, reference)]
            assert results[0] == results[1]
            assert count_python_opens(lambda: run(native, [path])) == 1, (owner, name)
        finally:
            setattr(owner, name, original)
        assert count_python_opens(lambda: run(native, [path])) == 0, (owner, name)
