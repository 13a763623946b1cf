#include "jpeg_ifd.h"

#include "binary.h"

#include <cstring>

namespace pretrain::jpeg {

namespace {

using binary::i16;
using binary::i32;

// ImageFileDirectory_v2._load_dispatch: the bytes of one value of each type
// Pillow reads; 0 for the types its load skips.
std::uint64_t unit_size(std::uint16_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: case 16: return 8;
        default: return 0;
    }
}

// TiffImagePlugin._accept: one of PREFIXES.
bool tiff_prefix(const std::uint8_t* p) {
    static const char* const prefixes[] = {"MM\x00\x2a", "II\x2a\x00", "MM\x2a\x00", "II\x00\x2a", "MM\x00\x2b", "II\x2b\x00"};
    for (const char* prefix : prefixes) {
        if (std::memcmp(p, prefix, 4) == 0) return true;
    }
    return false;
}

bool one_number(const Directory::Entry& entry) { return (entry.type == 3 || entry.type == 4) && entry.count == 1; }

}  // namespace

bool Directory::load(const std::uint8_t* data, std::size_t size, std::uint64_t offset, bool big_endian,
                     const JpegQuirks& quirks) {
    count_ = 0;
    big_endian_ = big_endian;
    first_wins_ = quirks.directory_keeps_first_entry;
    // _ensure_read: a short count, entry or next-directory offset raises
    // OSError, which load turns into a warning.
    if (offset > size || size - offset < 2) return false;
    std::uint32_t tags = i16(data + offset, big_endian);
    if (tags > kMaxEntries) return false;
    std::uint64_t at = offset + 2;
    std::uint64_t out_of_line = 0;
    for (std::uint32_t i = 0; i < tags; ++i, at += 12) {
        if (size - at < 12) return false;
        const std::uint8_t* field = data + at;
        Entry entry{static_cast<std::uint16_t>(i16(field, big_endian)), static_cast<std::uint16_t>(i16(field + 2, big_endian)),
                    i32(field + 4, big_endian), field + 8, 0};
        if (first_wins_ && find(entry.tag)) continue;
        std::uint64_t unit = unit_size(entry.type);
        if (unit == 0) continue;  // "unsupported type", logged only
        entry.size = unit * entry.count;
        if (entry.size > 4) {
            std::uint64_t value_at = i32(field + 8, big_endian);
            // Out-of-line data adding up to more than the block warns "Tag
            // data larger than file".
            out_of_line += entry.size;
            if (first_wins_ && out_of_line > size) return false;
            // _safe_read past the end raises OSError: a warning.
            if (value_at > size || size - value_at < entry.size) return false;
            entry.value = data + value_at;
        }
        if (entry.size == 0) continue;  // no data: not kept
        entries_[count_++] = entry;
    }
    return size - at >= 4;
}

const Directory::Entry* Directory::find(std::uint16_t tag) const {
    const Entry* found = nullptr;
    for (const Entry* entry = begin(); entry != end(); ++entry) {
        if (entry->tag != tag) continue;
        found = entry;
        if (first_wins_) break;
    }
    return found;
}

std::uint32_t Directory::number(const Entry& entry) const {
    return entry.type == 3 ? i16(entry.value, big_endian_) : i32(entry.value, big_endian_);
}

// Exif.load, then exif[ResolutionUnit] and exif[XResolution]. What raises
// struct.error, SyntaxError or KeyError is caught (the image gets 72 dpi);
// the directory's load warns on short data, and decoding a tag that Pillow
// knows as single-valued warns when it holds several values.
bool exif_resolution_is_quiet(const std::uint8_t* segment, std::size_t size, const JpegQuirks& quirks) {
    const std::uint8_t* data = segment + 6;
    size -= 6;
    // Exif.load strips repeated "Exif\0\0" heads: all of them up to Pillow
    // 12.3, at most two from 13.0 on.
    if (size >= 6 && std::memcmp(data, "Exif\0\0", 6) == 0) return false;
    if (size == 0) return true;                      // no directory: KeyError
    if (size < 4 || !tiff_prefix(data)) return true;  // SyntaxError: not a TIFF header
    if (size < 8 || data[2] == 0x2B) return true;     // the header's offset is short: struct.error
    bool big = data[0] == 'M';
    Directory directory;
    if (!directory.load(data, size, i32(data + 4, big), big, quirks)) return false;
    const Directory::Entry* unit = directory.find(0x0128);
    if (!unit) return true;
    if (!one_number(*unit)) return false;
    const Directory::Entry* resolution = directory.find(0x011A);
    if (!resolution) return true;
    // A number, or a rational (nan for a zero denominator: ValueError,
    // caught); its arithmetic raises nothing else.
    return resolution->count == 1 && (one_number(*resolution) || resolution->type == 5 || resolution->type == 10);
}

// _getmp: ImageFileDirectory_v2 over the index (any failure there, a missing
// NumberOfImages or MPEntry, or an entry of another picture format raises
// SyntaxError, which jpeg_factory turns into a warning; MP entries short of
// NumberOfImages raise struct.error). dict(info) decodes every tag, so only
// the index's own tags with their usual types are taken.
MpIndex read_mp_index(const std::uint8_t* data, std::size_t size, const JpegQuirks& quirks) {
    if (size < 8) return MpIndex::Unusual;
    // The MP entries are read big-endian only after the exact big-endian
    // TIFF head; other heads Pillow accepts would mix byte orders.
    bool big = std::memcmp(data, "MM\x00\x2a", 4) == 0;
    if (!big && std::memcmp(data, "II\x2a\x00", 4) != 0) return MpIndex::Unusual;
    Directory directory;
    if (!directory.load(data, size, i32(data + 4, big), big, quirks)) return MpIndex::Unusual;
    for (const Directory::Entry& entry : directory) {
        bool usual = entry.tag == 0xB000 || entry.tag == 0xB002 || entry.tag == 0xB003 ? entry.type == 7
                     : entry.tag == 0xB001 || entry.tag == 0xB004                    ? one_number(entry)
                                                                                      : false;
        if (!usual) return MpIndex::Unusual;
    }
    const Directory::Entry* images = directory.find(0xB001);
    const Directory::Entry* entries = directory.find(0xB002);
    if (!images || !entries) return MpIndex::Unusual;
    std::uint64_t count = directory.number(*images);
    if (entries->size / 16 < count) return MpIndex::Unusual;
    for (std::uint64_t i = 0; i < count; ++i) {
        // Attribute bits 24-26: ImageDataFormat, JPEG only.
        if ((i32(entries->value + 16 * i, big) >> 24) & 7) return MpIndex::Unusual;
    }
    return count > 1 ? MpIndex::Mpo : MpIndex::Jpeg;
}

}  // namespace pretrain::jpeg
