"""JPEG headers: the size scan gives what Image.open gives for JPEG files of
the common kinds (Pillow-written and hand-made: JFIF, EXIF with and without
a density, ICC profiles, MPO, Photoshop and Adobe segments, XMP, comments,
fill bytes), reads the clean ones without Pillow, and leaves to Pillow the
ones its opening code fails or warns on."""
import io
import struct
from pathlib import Path

import pytest
from PIL import Image

import pretrain.analyzing_tools as native
from helpers import analysis as reference
from conftest import run_python
from test_analysis_scans import both, count_python_opens, outcome, sizes_outcome


# ---- file builders -----------------------------------------------------------

def pillow_jpeg(mode="RGB", size=(23, 17), **options):
    buffer = io.BytesIO()
    Image.new(mode, size, "white" if mode != "CMYK" else (0, 10, 20, 30)).save(buffer, "JPEG", **options)
    return buffer.getvalue()


def segment(marker, payload):
    return bytes([0xFF, marker]) + struct.pack(">H", len(payload) + 2) + payload


def insert_after_soi(data, *segments):
    return data[:2] + b"".join(segments) + data[2:]


def tiff_block(entries, big_endian=True, extra=b""):
    """A TIFF header and one directory of (tag, type, count, value bytes)
    entries; values over 4 bytes are stored after the directory."""
    order = ">" if big_endian else "<"
    head = (b"MM\x00\x2a" if big_endian else b"II\x2a\x00") + struct.pack(order + "L", 8)
    data_at = 8 + 2 + 12 * len(entries) + 4
    table, tail = b"", b""
    for tag, type_, count, value in entries:
        if len(value) > 4:
            field = struct.pack(order + "L", data_at + len(tail))
            tail += value
        else:
            field = value.ljust(4, b"\0")
        table += struct.pack(order + "HHL", tag, type_, count) + field
    return head + struct.pack(order + "H", len(entries)) + table + struct.pack(order + "L", 0) + tail + extra


def exif_segment(entries, big_endian=True):
    return segment(0xE1, b"Exif\0\0" + tiff_block(entries, big_endian))


def resolution_entries(order=">", unit=2, numerator=300, denominator=1):
    return [(0x011A, 5, 1, struct.pack(order + "LL", numerator, denominator)),
            (0x011B, 5, 1, struct.pack(order + "LL", numerator, denominator)),
            (0x0128, 3, 1, struct.pack(order + "H", unit))]


def mp_segment(count, formats=0, big_endian=True):
    order = ">" if big_endian else "<"
    entries = b"".join(struct.pack(order + "LLLHH", (formats << 24) | (0x030000 if i == 0 else 0x020002), 1000, 0, 0, 0)
                       for i in range(count))
    block = tiff_block([(0xB000, 7, 4, b"0100"), (0xB001, 4, 1, struct.pack(order + "L", count)),
                        (0xB002, 7, len(entries), entries)], big_endian)
    return segment(0xE2, b"MPF\0" + block)


def photoshop_segment(*resources):
    body = b"Photoshop 3.0\0"
    for code, data in resources:
        body += b"8BIM" + struct.pack(">H", code) + b"\0\0" + struct.pack(">L", len(data)) + data + b"\0" * (len(data) & 1)
    return segment(0xED, body)


def with_sof_tail(data, extra):
    """The first SOF segment with `extra` bytes after its component records."""
    at = next(i for i in range(2, len(data)) if data[i] == 0xFF and data[i + 1] in (0xC0, 0xC1, 0xC2))
    length = struct.unpack(">H", data[at + 2:at + 4])[0]
    return data[:at + 2] + struct.pack(">H", length + len(extra)) + data[at + 4:at + 2 + length] + extra + data[at + 2 + length:]


def with_fill_bytes(data, count=3):
    """0xFF fill bytes before every marker after the first segment."""
    out, at = bytearray(data[:2]), 2
    while data[at] == 0xFF and data[at + 1] != 0xDA:
        length = struct.unpack(">H", data[at + 2:at + 4])[0]
        out += b"\xff" * count + data[at:at + 2 + length]
        at += 2 + length
    return bytes(out + b"\xff" * count + data[at:])


def mpo_file():
    buffer = io.BytesIO()
    frames = [Image.new("RGB", (31, 21), c) for c in ("red", "blue")]
    frames[0].save(buffer, "MPO", save_all=True, append_images=frames[1:])
    return buffer.getvalue()


def exif_object(resolution=True):
    exif = Image.Exif()
    exif[0x010F] = "Maker"
    exif[0x0110] = "Model"
    exif[0x0112] = 1
    if resolution:
        exif[0x011A] = 72.0
        exif[0x011B] = 72.0
        exif[0x0128] = 2
    return exif


def xmp_packet(orientation=6):
    return (b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF><rdf:Description tiff:Orientation="%d"/>'
            b'</rdf:RDF></x:xmpmeta>' % orientation)


def clean_variants():
    """Files Pillow opens to their size without an exception or a warning."""
    base = pillow_jpeg()
    little = resolution_entries("<", unit=3, numerator=118, denominator=1)
    return {
        "baseline": base,
        "grey": pillow_jpeg("L"),
        "cmyk_adobe": pillow_jpeg("CMYK"),
        "progressive": pillow_jpeg(progressive=True),
        "optimized": pillow_jpeg(optimize=True, subsampling=0),
        "restart_intervals": pillow_jpeg(restart_marker_blocks=2),
        "dpi": pillow_jpeg(dpi=(300, 300)),
        "comment": pillow_jpeg(comment=b"a comment"),
        "icc": pillow_jpeg(icc_profile=b"\0" * 300),
        "exif_with_density": pillow_jpeg(exif=exif_object(), dpi=(96, 96)),
        "exif_resolution": pillow_jpeg(exif=exif_object()),
        "exif_no_resolution": pillow_jpeg(exif=exif_object(resolution=False)),
        "exif_bytes_and_icc_progressive": pillow_jpeg(exif=exif_object().tobytes(), icc_profile=b"\1" * 70000,
                                                      progressive=True),
        "exif_little_endian_cm": insert_after_soi(base, exif_segment(little, big_endian=False)),
        "exif_zero_denominator": insert_after_soi(base, exif_segment(resolution_entries(denominator=0))),
        "exif_short_resolution": insert_after_soi(base, exif_segment([(0x011A, 3, 1, b"\0\x48"), (0x0128, 3, 1, b"\0\2")])),
        "exif_not_tiff": insert_after_soi(base, segment(0xE1, b"Exif\0\0JUNKJUNK")),
        "exif_empty": insert_after_soi(base, segment(0xE1, b"Exif\0\0")),
        "exif_unknown_type": insert_after_soi(base, exif_segment([(0x0128, 14, 1, b"\0\2\0\0")])),
        "exif_and_xmp_orientation": insert_after_soi(
            base, exif_segment(resolution_entries()), segment(0xE1, b"http://ns.adobe.com/xap/1.0/\0" + xmp_packet())),
        "xmp": pillow_jpeg(xmp=xmp_packet()),
        "mpo": mpo_file(),
        "mp_index_of_one": insert_after_soi(base, mp_segment(1)),
        "mp_index_little_endian": insert_after_soi(base, mp_segment(2, big_endian=False)),
        "photoshop": insert_after_soi(base, photoshop_segment(
            (0x03ED, struct.pack(">LHHLHH", 72 << 16, 1, 1, 72 << 16, 1, 1)), (0x0404, b"\x1c\x02\x00\x00\x02\x00\x04"))),
        "photoshop_cut_in_size": insert_after_soi(base, segment(0xED, b"Photoshop 3.0\x008BIM\x04\x04\x00\x00\x00")),
        "photoshop_short_resolution": insert_after_soi(base, photoshop_segment((0x03ED, b"\0" * 6))),
        "adobe": insert_after_soi(base, segment(0xEE, b"Adobe\x00\x64\x00\x00\x00\x00\x01")),
        "adobe_short": insert_after_soi(base, segment(0xEE, b"Adobe\x00\x64")),
        "app_others": insert_after_soi(base, segment(0xE3, b"x"), segment(0xEF, b""), segment(0xE2, b"FPXR\0\0")),
        "fill_bytes": with_fill_bytes(pillow_jpeg(exif=exif_object(), icc_profile=b"\2" * 100)),
        "junk_and_standalone_markers": insert_after_soi(base, b"\xff\xd9", b"\xff\x00\x00\x12", b"\xff\xd0"),
        "jfif_without_density": insert_after_soi(base[:2] + base[20:], segment(0xE0, b"JFIF\0\1\2")),
    }


def failing_variants():
    """Files Pillow's opening code refuses, or opens with a warning."""
    base = pillow_jpeg()
    return {
        "sof_one_byte_over": with_sof_tail(base, b"\0"),
        "sof_two_bytes_over": with_sof_tail(pillow_jpeg("L"), b"\0\0"),
        "sof_12_bit": base.replace(b"\xff\xc0\x00\x11\x08", b"\xff\xc0\x00\x11\x0c", 1),
        "dqt_short": insert_after_soi(base, segment(0xDB, b"\0" + b"\1" * 20)),
        "jfif_short": insert_after_soi(base, segment(0xE0, b"JFIF\0")),
        "icc_short": insert_after_soi(base, segment(0xE2, b"ICC_PROFILE\0\1")),
        "photoshop_cut_after_code": insert_after_soi(base, segment(0xED, b"Photoshop 3.0\x008BIM\x04\x04")),
        "no_marker": insert_after_soi(base, b"\xff\x12"),
        "exif_directory_past_end": insert_after_soi(base, segment(0xE1, b"Exif\0\0MM\0\x2a\0\0\0\x40")),
        "exif_value_past_end": insert_after_soi(base, exif_segment([(0x010F, 2, 200, b"\0\0\1\0")])),
        "exif_unit_twice": insert_after_soi(base, exif_segment([(0x011A, 5, 1, b"\0\0\0\1\0\0\0\1"),
                                                                (0x0128, 3, 2, b"\0\2\0\2")])),
        "mp_index_other_format": insert_after_soi(base, mp_segment(2, formats=1)),
        "mp_index_short_entries": insert_after_soi(base, segment(0xE2, b"MPF\0" + tiff_block(
            [(0xB001, 4, 1, b"\0\0\0\3"), (0xB002, 7, 16, b"\0" * 16)]))),
        "mp_index_without_count": insert_after_soi(base, segment(0xE2, b"MPF\0" + tiff_block([(0xB002, 7, 16, b"\0" * 16)]))),
        "truncated_before_scan": base[:base.index(b"\xff\xda") + 3],
    }


def release_dependent_variants():
    """Files that Pillow 13 opens quietly and earlier releases with a warning,
    or the other way round."""
    base = pillow_jpeg()
    shared = [(0x010F + i, 2, 40, b"") for i in range(3)]  # three tags over the same 40 bytes
    block = tiff_block([(tag, type_, count, b"\0\0\0\x1a") for tag, type_, count, _ in shared], extra=b"x" * 40)
    return {
        # Up to 12.3 the last of two entries counts (and warns: two values);
        # 13.0 keeps the first.
        "exif_unit_repeated": insert_after_soi(base, exif_segment([(0x011A, 5, 1, b"\0\0\0\1\0\0\0\1"),
                                                                   (0x0128, 3, 1, b"\0\2"), (0x0128, 3, 2, b"\0\2\0\2")])),
        # 13.0 warns when out-of-line data adds up to more than the block.
        "exif_shared_data": insert_after_soi(base, segment(0xE1, b"Exif\0\0" + block)),
    }


# ---- tests -------------------------------------------------------------------

@pytest.fixture(scope="module")
def variant_files(tmp_path_factory):
    root = tmp_path_factory.mktemp("jpeg")
    files = {}
    for group, variants in (("clean", clean_variants()), ("failing", failing_variants()),
                            ("release_dependent", release_dependent_variants())):
        for name, data in variants.items():
            path = root / group / f"{name}.jpg"
            path.parent.mkdir(exist_ok=True)
            path.write_bytes(data)
            files[name] = path
    # The plugins Pillow imports for EXIF and MP indexes, as a first such
    # file would.
    Image.open(files["mpo"]).close()
    return files


def test_clean_variants_match_pillow_and_are_read_natively(variant_files):
    clean = clean_variants()
    for name in clean:
        path = variant_files[name]
        results = both(lambda m: sizes_outcome(m, [path]))
        assert results[0] == results[1], name
        assert results[0][1] == [] and results[0][0][0] == "value", name
        assert count_python_opens(lambda: sizes_outcome(native, [str(path)])) == 0, name
    paths = [str(variant_files[name]) for name in clean] * 2
    results = both(lambda m: sizes_outcome(m, paths))
    assert results[0] == results[1]


def test_files_pillow_refuses_or_warns_about_go_to_pillow(variant_files):
    for name in failing_variants():
        path = variant_files[name]
        results = both(lambda m: sizes_outcome(m, [path]))
        assert results[0] == results[1], name
        assert results[0][0][0] == "error" or results[0][1], name  # each one fails or warns
        assert count_python_opens(lambda: outcome(lambda: sizes_outcome(native, [str(path)]))) == 1, name


def test_release_dependent_files_are_read_natively_where_pillow_is_quiet(variant_files):
    for name in release_dependent_variants():
        path = variant_files[name]
        results = both(lambda m: sizes_outcome(m, [path]))
        assert results[0] == results[1], name
        quiet = results[0][0][0] == "value" and not results[0][1]
        assert count_python_opens(lambda: outcome(lambda: sizes_outcome(native, [str(path)]))) == (0 if quiet else 1), name


def test_sof_with_bytes_after_its_components_is_refused_as_pillow_refuses_it(variant_files):
    path = variant_files["sof_one_byte_over"]
    (value, warned), _ = both(lambda m: sizes_outcome(m, [variant_files["baseline"], path]))
    assert value[0] == "error" and value[1] is Image.UnidentifiedImageError and not warned


def test_first_exif_file_imports_the_tiff_plugin_then_the_rest_are_native(variant_files):
    # In a fresh interpreter Pillow imports TiffImagePlugin for the first
    # EXIF file; the scan must leave that to Pillow, then read the others.
    paths = [str(variant_files[name]) for name in ("baseline", "exif_resolution", "exif_little_endian_cm", "mpo")] * 3
    code = f"""
        import sys
        from PIL import Image
        Image.preinit()
        import pretrain.analyzing_tools as native
        from helpers import analysis as reference
        from test_analysis_scans import count_python_opens, sizes_outcome
        paths = {paths!r}
        assert "PIL.TiffImagePlugin" not in sys.modules
        opens = count_python_opens(lambda: print(sizes_outcome(native, paths)[0]))
        print(sizes_outcome(reference, paths)[0])
        print(opens, sorted(m for m in sys.modules if m.startswith("PIL.") and m.endswith("Plugin")))
    """
    out = run_python(code, extra_path=[Path(__file__).parent]).stdout.splitlines()
    assert out[0] == out[1]
    # One for the first EXIF file (TiffImagePlugin), one for the first MPO
    # (MpoImagePlugin).
    assert out[2].startswith("2 "), out
