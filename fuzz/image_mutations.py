"""Structure-aware mutations of seed images for the size fuzzing.

    mutate(rng, seed, seeds) -> (bytes, description)

The structure (PNG chunks, JPEG segments, GIF blocks, the BMP headers) is
found by a small walk of the bytes, so that truncations, length edits and
insertions land on the offsets that the readers look at.
"""
import struct
import zlib


def png_chunks(data):
    """(offset, length, type) of every whole chunk after the signature."""
    out, pos = [], 8
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        out.append((pos, length, kind))
        pos += 12 + length
    return out


def jpeg_segments(data):
    """(offset of the marker, marker) up to SOS; fill bytes are skipped."""
    out, pos = [], 2
    while pos + 4 <= len(data) and data[pos] == 0xFF:
        while pos + 1 < len(data) and data[pos + 1] == 0xFF:
            pos += 1
        if pos + 1 >= len(data):
            break
        marker = data[pos + 1]
        out.append((pos, marker))
        if marker == 0xDA or pos + 4 > len(data):
            break
        pos += 2 + struct.unpack(">H", data[pos + 2:pos + 4])[0]
    return out


def gif_blocks(data):
    """Offsets of the blocks after the screen descriptor and global palette."""
    if len(data) < 13:
        return []
    pos = 13 + (3 << ((data[10] & 7) + 1) if data[10] & 0x80 else 0)
    out = []
    while pos < len(data):
        out.append(pos)
        kind = data[pos]
        if kind == 0x3B:
            break
        if kind == 0x21:
            pos += 2
        elif kind == 0x2C:
            flags = data[pos + 9] if pos + 9 < len(data) else 0
            pos += 10 + (3 << ((flags & 7) + 1) if flags & 0x80 else 0) + 1
        else:
            break
        while pos < len(data) and data[pos]:
            pos += data[pos] + 1
        pos += 1
    return out


def offsets(seed):
    """The header offsets worth cutting at or editing for this seed."""
    data = seed.data
    found = set(range(0, min(len(data), 40)))
    if seed.fmt == "png":
        for pos, length, _ in png_chunks(data):
            found |= {pos, pos + 4, pos + 8, pos + 8 + length, pos + 12 + length}
    elif seed.fmt == "jpeg":
        for pos, marker in jpeg_segments(data):
            found |= {pos, pos + 1, pos + 2, pos + 4, pos + 5, pos + 7, pos + 9, pos + 10}
    elif seed.fmt == "gif":
        for pos in gif_blocks(data):
            found |= {pos, pos + 1, pos + 2, pos + 3, pos + 10, pos + 14}
    elif seed.fmt == "bmp":
        found |= {14, 18, 22, 26, 28, 30, 34, 46, 54, 66, 70, 122, 138}
    return sorted(p for p in found if p < len(data))


def put(data, pos, packed):
    return data[:pos] + packed + data[pos + len(packed):]


def truncate(rng, seed, _):
    cut = rng.choice(offsets(seed))
    return seed.data[:cut], f"truncated at {cut}"


def flip_bytes(rng, seed, _):
    data = bytearray(seed.data)
    edits = []
    for _ in range(rng.randint(1, 4)):
        pos = rng.randrange(min(len(data), 512))
        data[pos] = rng.choice([data[pos] ^ (1 << rng.randrange(8)), rng.randrange(256), 0, 0xFF])
        edits.append(pos)
    return bytes(data), f"bytes changed at {edits}"


def edit_length(rng, seed, _):
    data = seed.data
    delta = rng.choice([-3, -2, -1, 1, 2, 3, 100, -100, 1 << 16, 1 << 24])
    if seed.fmt == "png" and png_chunks(data):
        pos, length, kind = rng.choice(png_chunks(data))
        new = max(0, min(length + delta, 0xFFFFFFFF)) if rng.random() < 0.8 else rng.choice([0, 0x7FFFFFFF])
        return put(data, pos, struct.pack(">I", new)), f"{kind} length {length} -> {new} at {pos}"
    if seed.fmt == "jpeg" and len(jpeg_segments(data)) > 1:
        pos, marker = rng.choice(jpeg_segments(data))
        old = struct.unpack(">H", data[pos + 2:pos + 4])[0] if pos + 4 <= len(data) else 0
        new = max(0, min(old + delta, 0xFFFF)) if rng.random() < 0.8 else rng.choice([0, 1, 2, 0xFFFF])
        return put(data, pos + 2, struct.pack(">H", new)), f"marker {marker:02X} length {old} -> {new} at {pos}"
    if seed.fmt == "gif" and gif_blocks(data):
        pos = rng.choice(gif_blocks(data)) + rng.choice([1, 2, 3, 11])
        if pos < len(data):
            new = rng.randrange(256)
            return put(data, pos, bytes([new])), f"block byte at {pos} -> {new}"
    if seed.fmt == "bmp" and len(data) >= 18:
        new = rng.choice([0, 11, 12, 13, 16, 39, 40, 41, 52, 56, 64, 108, 124, 125, 0xFFFF, 0xFFFFFFFF])
        return put(data, 14, struct.pack("<I", new)), f"BMP header size -> {new}"
    return flip_bytes(rng, seed, None)


def edit_crc(rng, seed, _):
    chunks = png_chunks(seed.data)
    if seed.fmt != "png" or not chunks:
        return flip_bytes(rng, seed, None)
    pos, length, kind = rng.choice(chunks)
    at = pos + 8 + length
    if at + 4 > len(seed.data):
        return truncate(rng, seed, None)
    crc = struct.unpack(">I", seed.data[at:at + 4])[0] ^ (1 << rng.randrange(32))
    return put(seed.data, at, struct.pack(">I", crc)), f"{kind} CRC changed at {at}"


def png_chunk(kind, payload, good_crc=True):
    crc = zlib.crc32(kind + payload) if good_crc else 0
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", crc)


JPEG_MARKERS = [0xC0, 0xC1, 0xC2, 0xC4, 0xC8, 0xCC, 0xDB, 0xDD, 0xDC, 0xDE, 0xDF, 0xE0, 0xE1, 0xE2, 0xED, 0xEE,
                0xFE, 0xF0, 0x01, 0xD8]


def jpeg_insert(rng):
    """A segment of any marker with random content, a lone marker, fill
    bytes or a stray byte."""
    length = rng.choice([2, 3, 8, 11, 17, 20])
    return rng.choice([
        b"\xff" + bytes([rng.choice(JPEG_MARKERS)]) + struct.pack(">H", length) + rng.randbytes(length - 2),
        b"\xff" + bytes([rng.choice([0xD0, 0xD7, 0xD9, 0x00, 0xFF])]),
        b"\xff" * rng.randint(1, 5),
        b"\x00",
    ])


INSERTS = {
    "png": lambda rng: png_chunk(rng.choice([b"tEXt", b"zTXt", b"iTXt", b"IHDR", b"PLTE", b"acTL", b"fcTL", b"fdAT",
                                             b"IDAT", b"IEND", b"aBcD", b"ABCD", b"pHYs", b"tRNS", b"iCCP", b"eXIf",
                                             b"gAMA", b"sRGB", b"cHRM", b"bKGD", b"sBIT", b"tIME"]),
                                 bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 4, 9, 13, 30]))),
                                 rng.random() < 0.9),
    "jpeg": jpeg_insert,
    "gif": lambda rng: rng.choice([
        b"\x21\xf9\x04" + bytes([rng.randrange(256)]) + b"\x00\x00\x00\x00",
        b"\x21\xfe\x03abc\x00", b"\x21\x01\x0c" + bytes(12) + b"\x00",
        b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00", b"\x21\xff\x0bNETSCAPE2.0\x00",
        b"\x21\xff\x0bNETSCAPE2.0\x05\x02\x00\x00\x00\x00\x00",
        b"\x21" + bytes([rng.randrange(256)]) + b"\x00", b"\x3b", b"\x2c" + bytes(9) + b"\x02\x00",
        bytes([rng.randrange(256)])]),
}


def insert_marker(rng, seed, _):
    where = {"png": [p for p, _, _ in png_chunks(seed.data)], "jpeg": [p for p, _ in jpeg_segments(seed.data)],
             "gif": gif_blocks(seed.data)}.get(seed.fmt)
    if not where:
        return flip_bytes(rng, seed, None)
    pos = rng.choice(where + [len(seed.data)])
    block = INSERTS[seed.fmt](rng)
    return seed.data[:pos] + block + seed.data[pos:], f"inserted {block[:24].hex()} at {pos}"


def remove_marker(rng, seed, _):
    data = seed.data
    if seed.fmt == "png" and len(png_chunks(data)) > 1:
        pos, length, kind = rng.choice(png_chunks(data))
        return data[:pos] + data[pos + 12 + length:], f"removed chunk {kind} at {pos}"
    if seed.fmt == "jpeg" and len(jpeg_segments(data)) > 1:
        segments = jpeg_segments(data)
        k = rng.randrange(len(segments))
        end = segments[k + 1][0] if k + 1 < len(segments) else len(data)
        return data[:segments[k][0]] + data[end:], f"removed marker {segments[k][1]:02X} at {segments[k][0]}"
    if seed.fmt == "gif" and len(gif_blocks(data)) > 1:
        blocks = gif_blocks(data) + [len(data)]
        k = rng.randrange(len(blocks) - 1)
        return data[:blocks[k]] + data[blocks[k + 1]:], f"removed GIF block at {blocks[k]}"
    return truncate(rng, seed, None)


HUGE = [0, 1, 0x7FFF, 0xFFFF, 9460, 9461, 13377, 18920, 65500, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF]


def dimensions(rng, seed, _):
    data = seed.data
    w, h = rng.choice(HUGE), rng.choice(HUGE)
    if seed.fmt == "png" and len(data) >= 24:
        return put(data, 16, struct.pack(">II", w, h)), f"IHDR size {w}x{h}"
    if seed.fmt == "jpeg":
        frames = [p for p, m in jpeg_segments(data) if 0xC0 <= m <= 0xCF and m not in (0xC4, 0xC8, 0xCC)]
        if frames and frames[0] + 9 <= len(data):
            w, h = w & 0xFFFF, h & 0xFFFF
            return put(data, frames[0] + 5, struct.pack(">HH", h, w)), f"SOF size {w}x{h}"
    if seed.fmt == "gif" and len(data) >= 10:
        w, h = w & 0xFFFF, h & 0xFFFF
        blocks = [p for p in gif_blocks(data) if data[p] == 0x2C]
        if blocks and rng.random() < 0.4:
            return put(data, blocks[0] + 5, struct.pack("<HH", w, h)), f"GIF frame size {w}x{h}"
        return put(data, 6, struct.pack("<HH", w, h)), f"GIF screen size {w}x{h}"
    if seed.fmt == "bmp" and len(data) >= 26:
        if data[14] == 12:
            w, h = w & 0xFFFF, h & 0xFFFF
            return put(data, 18, struct.pack("<HH", w, h)), f"BMP core size {w}x{h}"
        signed = lambda v: v - (1 << 32) if v >= 1 << 31 else v  # noqa: E731
        w, h = signed(w), signed(rng.choice([h, -h & 0xFFFFFFFF]))
        return put(data, 18, struct.pack("<ii", w, h)), f"BMP size {w}x{h}"
    return flip_bytes(rng, seed, None)


MAGICS = [b"\x89PNG\r\n\x1a\n", b"\xff\xd8\xff", b"\xff\xd8", b"GIF87a", b"GIF89a", b"BM", b"II*\x00", b"MM\x00*",
          b"P6", b"RIFF", b"\x00\x00\x01\x00", b""]


def other_magic(rng, seed, seeds):
    """A valid magic followed by another format's file (with or without its
    own magic)."""
    other = rng.choice(seeds)
    magic = rng.choice(MAGICS)
    body = other.data if rng.random() < 0.5 else other.data[len(next((m for m in MAGICS if m and
                                                                       other.data.startswith(m)), b"")):]
    return magic + body, f"magic {magic.hex() or 'none'} + {other.fmt} {other.variant} body"


MUTATIONS = [truncate, flip_bytes, flip_bytes, edit_length, edit_length, edit_crc, insert_marker, insert_marker,
             remove_marker, dimensions, dimensions, other_magic]


def mutate(rng, seed, seeds):
    data, description = seed.data, []
    for _ in range(rng.choice([1, 1, 1, 2])):
        if not data:
            break
        data, what = rng.choice(MUTATIONS)(rng, seed._replace(data=data), seeds)
        description.append(what)
    return data, "; ".join(description)
