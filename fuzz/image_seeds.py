"""Seed images for the size fuzzing: the real-world variants of PNG, JPEG,
GIF and BMP, written by Pillow and by hand, plus a few files of other formats.

    seeds(rng) -> list of Seed(fmt, variant, data)

Every variant name says what the file carries; the hand-made ones also come
in the odd-but-valid layouts writers produce (fill bytes, tables before the
frame header, extensions in any order).
"""
import io
import struct
import zlib
from collections import namedtuple

from PIL import Image, PngImagePlugin

Seed = namedtuple("Seed", "fmt variant data")

SIZES = [(1, 1), (7, 3), (16, 16), (33, 65), (120, 80), (640, 480), (1, 2000)]


def pillow_file(image, fmt, **options):
    buffer = io.BytesIO()
    image.save(buffer, fmt, **options)
    return buffer.getvalue()


def exif_bytes(density=False, orientation=1):
    exif = Image.Exif()
    exif[0x0112] = orientation
    if density:
        exif[0x011A] = 72.0  # XResolution
        exif[0x011B] = 96.0  # YResolution
        exif[0x0128] = 2     # ResolutionUnit: inches
    return exif.tobytes()


ICC = b"\x00\x00\x02\x0cappl\x02\x10\x00\x00mntrRGB XYZ " + bytes(116) + b"\x00\x00\x00\x00"


# ---- JPEG -------------------------------------------------------------------

def segment(marker, payload):
    return b"\xff" + bytes([marker]) + struct.pack(">H", len(payload) + 2) + payload


def jfif(units=1, xd=72, yd=72):
    return segment(0xE0, b"JFIF\x00\x01\x01" + bytes([units]) + struct.pack(">HH", xd, yd) + b"\x00\x00")


def sof(marker, w, h, components, extra=b""):
    body = struct.pack(">BHHB", 8, h, w, components)
    for c in range(components):
        body += bytes([c + 1, 0x11 if c else 0x22, 0 if c == 0 else 1])
    return segment(marker, body + extra)


DQT = segment(0xDB, b"\x00" + bytes(range(1, 65)))
DHT = segment(0xC4, b"\x00" + bytes([0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0]) + bytes(range(12)))
DRI = segment(0xDD, struct.pack(">H", 4))


def sos(components):
    body = bytes([components]) + b"".join(bytes([c + 1, 0x00]) for c in range(components)) + b"\x00\x3f\x00"
    return segment(0xDA, body) + b"\x12\x34\x56\xff\x00\x78" + b"\xff\xd9"


APPS = {
    "jfif": lambda rng: jfif(rng.choice([0, 1, 2, 3]), rng.choice([0, 1, 72, 300]), rng.choice([0, 1, 72, 300])),
    "exif": lambda rng: segment(0xE1, exif_bytes(density=False)),
    "exif-density": lambda rng: segment(0xE1, exif_bytes(density=True)),
    "icc": lambda rng: segment(0xE2, b"ICC_PROFILE\x00\x01\x01" + ICC),
    "mpf": lambda rng: segment(0xE2, b"MP\x00" + b"II*\x00\x08\x00\x00\x00" + struct.pack(
        "<HHHI4sHHII", 2, 0xB000, 7, 4, b"0100", 0xB001, 4, 1, 1) + b"\x00\x00\x00\x00"),
    "photoshop": lambda rng: segment(0xED, b"Photoshop 3.0\x00" + b"8BIM\x04\x04\x00\x00" + struct.pack(
        ">I", 4) + b"\x1c\x02\x00\x00"),
    "adobe": lambda rng: segment(0xEE, b"Adobe\x00\x64" + struct.pack(">HHB", 0, 0, rng.choice([0, 1, 2]))),
    "xmp": lambda rng: segment(0xE1, b"http://ns.adobe.com/xap/1.0/\x00<x:xmpmeta xmlns:x='adobe:ns:meta/'/>"),
    "app-other": lambda rng: segment(rng.choice([0xE3, 0xE7, 0xEC, 0xEF]), b"Ducky\x00" + bytes(rng.randrange(9))),
    "com": lambda rng: segment(0xFE, b"made by hand" * rng.randint(0, 3)),
}


def hand_jpeg(rng, w, h):
    """SOI, any APPn/COM/tables in random order, optional fill bytes, a SOF of
    any process, SOS. Returns (variant, bytes)."""
    names = rng.sample(sorted(APPS), rng.randint(0, 4))
    if rng.random() < 0.5 and "jfif" not in names:
        names.insert(0, "jfif")
    parts = [APPS[n](rng) for n in names]
    tables = rng.sample([DQT, DHT, DRI], rng.randint(0, 3))
    parts[rng.randint(0, len(parts)):rng.randint(0, len(parts))] = tables
    if rng.random() < 0.3:
        parts = [b"\xff" * rng.randint(1, 3) + p for p in parts]
    components = rng.choice([1, 3, 3, 4])
    process = rng.choice([0xC0, 0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF])
    data = b"\xff\xd8" + b"".join(parts) + sof(process, w, h, components) + DHT + sos(components)
    return f"hand:sof{process & 0xF:x}:c{components}|{'+'.join(names) or 'bare'}", data


def pillow_jpegs(rng):
    out = []
    for w, h in SIZES[:6]:
        rgb = Image.new("RGB", (w, h), (w % 256, h % 256, 90))
        out += [
            ("jfif", pillow_file(rgb, "JPEG")),
            ("jfif-dpi", pillow_file(rgb, "JPEG", dpi=(300, 300))),
            ("exif", pillow_file(rgb, "JPEG", exif=exif_bytes())),
            ("exif-density", pillow_file(rgb, "JPEG", exif=exif_bytes(density=True))),
            ("exif+icc", pillow_file(rgb, "JPEG", exif=exif_bytes(), icc_profile=ICC)),
            ("progressive", pillow_file(rgb, "JPEG", progressive=True)),
            ("gray", pillow_file(rgb.convert("L"), "JPEG")),
            ("cmyk", pillow_file(rgb.convert("CMYK"), "JPEG")),
            ("comment", pillow_file(rgb, "JPEG", comment=b"a comment")),
            ("restart", pillow_file(rgb, "JPEG", restart_marker_blocks=1)),
            ("mpo", pillow_file(rgb, "MPO", save_all=True, append_images=[rgb.rotate(90)])),
        ]
    return out


# ---- PNG --------------------------------------------------------------------

def chunk(kind, payload):
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def ihdr(w, h, depth=8, color=2, interlace=0):
    return chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, color, 0, 0, interlace))


PNG_EXTRAS = {
    "tEXt": lambda rng: chunk(b"tEXt", b"Comment\x00hand made"),
    "zTXt": lambda rng: chunk(b"zTXt", b"Title\x00\x00" + zlib.compress(b"z text")),
    "iTXt": lambda rng: chunk(b"iTXt", b"Author\x00\x00\x00en\x00Autor\x00me"),
    "iCCP": lambda rng: chunk(b"iCCP", b"icc\x00\x00" + zlib.compress(ICC)),
    "eXIf": lambda rng: chunk(b"eXIf", exif_bytes()[6:]),
    "bKGD": lambda rng: chunk(b"bKGD", struct.pack(">HHH", 1, 2, 3)),
    "tIME": lambda rng: chunk(b"tIME", struct.pack(">HBBBBB", 2024, 5, 6, 7, 8, 9)),
    "sBIT": lambda rng: chunk(b"sBIT", b"\x08\x08\x08"),
    "gAMA": lambda rng: chunk(b"gAMA", struct.pack(">I", 45455)),
    "cHRM": lambda rng: chunk(b"cHRM", struct.pack(">8I", *range(8))),
    "sRGB": lambda rng: chunk(b"sRGB", b"\x00"),
    "pHYs": lambda rng: chunk(b"pHYs", struct.pack(">IIB", rng.choice([0, 1, 2835, 11811]),
                                                 rng.choice([1, 2835]), rng.choice([0, 1, 2]))),
    "tRNS": lambda rng: chunk(b"tRNS", struct.pack(">HHH", 1, 2, 3)),
    "acTL": lambda rng: chunk(b"acTL", struct.pack(">II", 1, 0)),
    "private": lambda rng: chunk(b"prVt", b"whatever"),
}


def hand_png(rng, w, h):
    names = rng.sample(sorted(PNG_EXTRAS), rng.randint(0, 5))
    color = 2
    parts = [PNG_EXTRAS[n](rng) for n in names]
    if rng.random() < 0.3:
        color = 3
        parts.insert(0, chunk(b"PLTE", bytes(range(12))))
        names.insert(0, "PLTE")
        if "tRNS" in names:
            parts[names.index("tRNS")] = chunk(b"tRNS", b"\x00\x80")
    if "acTL" in names:
        parts.append(chunk(b"fcTL", struct.pack(">IIIIIHHBB", 0, w, h, 0, 0, 1, 10, 0, 0)))
    raw = b"".join(b"\x00" + bytes(w * (3 if color == 2 else 1)) for _ in range(min(h, 4)))
    data = (b"\x89PNG\r\n\x1a\n" + ihdr(w, h, color=color) + b"".join(parts)
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
    return f"hand:{'palette' if color == 3 else 'rgb'}|{'+'.join(names) or 'bare'}", data


def pillow_pngs(rng):
    out = []
    for w, h in SIZES[:6]:
        rgb = Image.new("RGB", (w, h), (30, w % 256, 60))
        info = PngImagePlugin.PngInfo()
        info.add_text("Software", "hand")
        info.add_text("Title", "zipped", zip=True)
        info.add_itxt("Author", "me", lang="en")
        palette = rgb.convert("P")
        out += [
            ("minimal", pillow_file(rgb, "PNG")),
            ("gray", pillow_file(rgb.convert("L"), "PNG")),
            ("rgba", pillow_file(rgb.convert("RGBA"), "PNG")),
            ("text+gAMA+pHYs", pillow_file(rgb, "PNG", pnginfo=info, dpi=(72, 72))),
            ("iCCP", pillow_file(rgb, "PNG", icc_profile=ICC)),
            ("eXIf", pillow_file(rgb, "PNG", exif=exif_bytes())),
            ("palette+tRNS", pillow_file(palette, "PNG", transparency=0)),
            ("interlaced", pillow_file(rgb, "PNG", optimize=False) if w < 2 else pillow_file(rgb, "PNG")),
            ("apng", pillow_file(rgb, "PNG", save_all=True, append_images=[rgb.rotate(180)], duration=50)),
            ("16bit", pillow_file(Image.new("I;16", (w, h), 300), "PNG")),
        ]
    return out


# ---- GIF --------------------------------------------------------------------

def sub_blocks(data):
    out = b""
    for i in range(0, len(data), 255):
        out += bytes([len(data[i:i + 255])]) + data[i:i + 255]
    return out + b"\x00"


GIF_EXTENSIONS = {
    "gce": lambda rng: b"\x21\xf9\x04" + bytes([rng.randrange(8) << 2 | rng.randrange(2)]) + b"\x0a\x00\x00\x00",
    "comment": lambda rng: b"\x21\xfe" + sub_blocks(b"a comment" * rng.randint(0, 40)),
    "plaintext": lambda rng: b"\x21\x01\x0c" + bytes(12) + sub_blocks(b"text"),
    "netscape": lambda rng: b"\x21\xff\x0bNETSCAPE2.0\x03\x01" + struct.pack("<H", rng.randrange(3)) + b"\x00",
    # the identifier block followed at once by the terminator: Pillow then
    # reads one more sub-block for the loop count
    "netscape-empty": lambda rng: b"\x21\xff\x0bNETSCAPE2.0\x00",
    "xmp": lambda rng: b"\x21\xff\x0bXMP DataXMP" + sub_blocks(b"<x/>"),
    "icc": lambda rng: b"\x21\xff\x0bICCRGBG1012" + sub_blocks(ICC),
}


def gif_image(w, h, rng, local=False):
    flags = 0x80 | 1 if local else 0
    out = b"\x2c" + struct.pack("<HHHHB", 0, 0, w, h, flags | (0x40 if rng.random() < 0.2 else 0))
    if local:
        out += bytes(12)
    return out + b"\x02\x02\x4c\x01\x00"


def hand_gif(rng, w, h):
    version = rng.choice([b"87a", b"89a"])
    has_global = rng.random() < 0.8
    out = b"GIF" + version + struct.pack("<HHBBB", w, h, 0x80 | 0x70 | 1 if has_global else 0, 0, 0)
    if has_global:
        out += bytes(range(6))
    names = []
    for frame in range(rng.choice([1, 1, 2, 3])):
        for name in rng.sample(sorted(GIF_EXTENSIONS), rng.randint(0, 3)):
            names.append(name)
            out += GIF_EXTENSIONS[name](rng)
        out += gif_image(w if frame == 0 else max(1, w // 2), h, rng, local=not has_global or rng.random() < 0.3)
    return f"hand:{version.decode()}|{'+'.join(names) or 'bare'}", out + b"\x3b"


def pillow_gifs(rng):
    out = []
    for w, h in SIZES[:6]:
        frames = [Image.new("P", (w, h), k) for k in range(3)]
        out += [
            ("still", pillow_file(frames[0], "GIF")),
            ("comment", pillow_file(frames[0], "GIF", comment=b"hello")),
            ("animated", pillow_file(frames[0], "GIF", save_all=True, append_images=frames[1:], duration=40,
                                     loop=0, disposal=rng.randrange(4))),
            ("transparent", pillow_file(frames[0], "GIF", transparency=0)),
        ]
    return out


# ---- BMP --------------------------------------------------------------------

BMP_HEADERS = [12, 40, 52, 56, 64, 108, 124]


def hand_bmp(rng, w, h):
    size = rng.choice(BMP_HEADERS)
    kind = rng.choice(["raw", "raw", "rle8", "rle4", "bitfields"]) if size != 12 else "raw"
    bits = {"rle8": 8, "rle4": 4, "bitfields": rng.choice([16, 32])}.get(kind, rng.choice([1, 4, 8, 16, 24, 32]))
    compression = {"raw": 0, "rle8": 1, "rle4": 2, "bitfields": 3}[kind]
    colors = 1 << bits if bits <= 8 else 0
    if size == 12:
        header = struct.pack("<IHHHH", 12, w, h, 1, bits)
        palette = bytes(3 * colors)
    else:
        height = -h if rng.random() < 0.2 and kind not in ("rle8", "rle4") else h
        header = struct.pack("<IiiHHIIiiII", size, w, height, 1, bits, compression, 0, 2835, 2835, 0, 0)
        if size >= 52:
            header += struct.pack("<III", 0xF800, 0x07E0, 0x001F) if bits == 16 else struct.pack(
                "<III", 0xFF0000, 0xFF00, 0xFF)
        if size >= 56:
            header += struct.pack("<I", 0)
        header = header.ljust(size, b"\x00")
        palette = bytes(4 * colors)
    masks = b""
    if kind == "bitfields" and size == 40:
        masks = struct.pack("<III", 0xF800, 0x07E0, 0x001F) if bits == 16 else struct.pack(
            "<III", 0xFF0000, 0xFF00, 0xFF)
    pixels = b"\x00\x01" * 4 if kind.startswith("rle") else bytes(((w * bits + 31) // 32) * 4 * min(h, 4))
    offset = 14 + len(header) + len(masks) + len(palette)
    data = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + header + masks + palette + pixels
    return f"hand:h{size}:{kind}|{bits}bit", data


def pillow_bmps(rng):
    out = []
    for w, h in SIZES[:6]:
        rgb = Image.new("RGB", (w, h), (1, 2, 3))
        out += [("rgb", pillow_file(rgb, "BMP")), ("gray", pillow_file(rgb.convert("L"), "BMP")),
                ("1bit", pillow_file(rgb.convert("1"), "BMP")), ("palette", pillow_file(rgb.convert("P"), "BMP")),
                ("rgba", pillow_file(rgb.convert("RGBA"), "BMP"))]
    return out


# ---- the known-hard cases and other formats ---------------------------------

def edge_cases(rng):
    """Layouts readers are known to get wrong: kept as seeds so that every run
    tries them."""
    jpeg = lambda extra: (b"\xff\xd8" + jfif() + DQT + sof(0xC0, 40, 30, 3, extra) + DHT + sos(3))  # noqa: E731
    gif = b"GIF89a" + struct.pack("<HHBBB", 9, 9, 0xF1, 0, 0) + bytes(6)
    return [
        Seed("jpeg", "edge:sof-extra-1", jpeg(b"\x00")),
        Seed("jpeg", "edge:sof-extra-2", jpeg(b"\x00\x00")),
        Seed("jpeg", "edge:sof-extra-3", jpeg(b"\x00\x00\x00")),
        Seed("gif", "edge:netscape-then-trailer", gif + GIF_EXTENSIONS["netscape"](rng) + b"\x3b"),
        Seed("gif", "edge:netscape-terminator", gif + GIF_EXTENSIONS["netscape-empty"](rng) + gif_image(9, 9, rng)
             + b"\x3b"),
        Seed("gif", "edge:netscape-terminator-long", gif + GIF_EXTENSIONS["netscape-empty"](rng)
             + GIF_EXTENSIONS["comment"](rng) + gif_image(9, 9, rng) + gif_image(9, 9, rng) + b"\x3b"),
        Seed("gif", "edge:comment-then-trailer", gif + GIF_EXTENSIONS["comment"](rng) + b"\x3b"),
        Seed("gif", "edge:gce-then-trailer", gif + b"\x21\xf9\x04\x00\x00\x00\x00\x00\x3b"),
        Seed("gif", "edge:no-image", gif + b"\x3b"),
    ]


def other_formats():
    im = Image.new("RGB", (12, 9))
    return [Seed(fmt.lower(), "other", pillow_file(im, fmt)) for fmt in ("TIFF", "PPM", "WEBP", "ICO", "TGA")]


def seeds(rng):
    out = []
    for fmt, made in (("jpeg", pillow_jpegs), ("png", pillow_pngs), ("gif", pillow_gifs), ("bmp", pillow_bmps)):
        out += [Seed(fmt, "pillow:" + variant, data) for variant, data in made(rng)]
    for fmt, make, count in (("jpeg", hand_jpeg, 300), ("png", hand_png, 200), ("gif", hand_gif, 200),
                             ("bmp", hand_bmp, 150)):
        for _ in range(count):
            w, h = rng.choice(SIZES)
            variant, data = make(rng, w, h)
            out.append(Seed(fmt, variant, data))
    return out + edge_cases(rng) + other_formats()


def variant_family(variant):
    """The variant name without the random detail of hand-made files."""
    return variant.split("|")[0]
