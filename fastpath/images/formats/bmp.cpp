#include "bmp.h"

#include "plugin_mirror.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

namespace pretrain {

namespace {

// BmpImageFile.COMPRESSIONS
constexpr std::uint32_t kRaw = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3;

// BIT2MODE: the depths with a mode; 1, 4 and 8 are paletted ("P").
bool has_mode(std::uint32_t bits) { return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32; }

// _bitmap's SUPPORTED masks: r, g, b (and a, for 32 bits).
using Masks = std::array<std::uint32_t, 4>;
constexpr Masks kMasks32[] = {
    {0xFF0000, 0xFF00, 0xFF, 0x0},       {0xFF000000, 0xFF0000, 0xFF00, 0x0}, {0xFF000000, 0xFF00, 0xFF, 0x0},
    {0xFF000000, 0xFF0000, 0xFF00, 0xFF}, {0xFF, 0xFF00, 0xFF0000, 0xFF000000}, {0xFF0000, 0xFF00, 0xFF, 0xFF000000},
    {0xFF000000, 0xFF00, 0xFF, 0xFF0000}, {0x0, 0x0, 0x0, 0x0},
};
constexpr Masks kMasks24[] = {{0xFF0000, 0xFF00, 0xFF, 0}};
constexpr Masks kMasks16[] = {{0xF800, 0x7E0, 0x1F, 0}, {0x7C00, 0x3E0, 0x1F, 0}};

template <std::size_t N>
bool listed(const Masks (&table)[N], const Masks& masks) {
    return std::find(std::begin(table), std::end(table), masks) != std::end(table);
}

// "Unsupported BMP bitfields layout" unless the depth's table lists the
// masks: all four at 32 bits, r, g, b at 24 and 16 bits, no other depth.
bool supported_bitfields(std::uint32_t bits, Masks masks) {
    if (bits == 32) return listed(kMasks32, masks);
    masks[3] = 0;
    if (bits == 24) return listed(kMasks24, masks);
    if (bits == 16) return listed(kMasks16, masks);
    return false;
}

}  // namespace

// BmpImageFile._open and _bitmap (the palette's bytes decide only the mode;
// a short palette read is no error). Identical in every release listed in
// code_is_own.
template <>
HeaderSize PluginMirror<BmpRules>::read(FileStart& f, const BmpRules&) {
    // _open: the magic (Image.open checked it already) and 14 bytes, the
    // header size as i32(read(4)).
    if (!f.has(18) || f.at(0) != 'B' || f.at(1) != 'M') return {};
    std::uint32_t header_size = f.le32(14);
    // _safe_read of the rest of the header: "Truncated File Read".
    if (!f.has(14 + std::uint64_t(header_size))) return {};
    std::uint64_t width, height;
    std::uint32_t bits, compression = kRaw;
    std::uint64_t colors = 0;  // none in the header: 1 << bits
    if (header_size == 12) {
        width = f.le16(18);
        height = f.le16(20);
        bits = f.le16(24);
    } else if (header_size == 40 || header_size == 52 || header_size == 56 || header_size == 64 ||
               header_size == 108 || header_size == 124) {
        width = f.le32(18);
        // y_flip: the height's top byte 0xFF gives 2**32 - height.
        height = f.at(25) == 0xFF ? (std::uint64_t(1) << 32) - f.le32(22) : f.le32(22);
        bits = f.le16(28);
        compression = f.le32(30);
        colors = f.le32(46);
        if (compression == kBitfields) {
            // r, g, b masks at offset 54: in the header from 52 bytes on,
            // read after a 40-byte one (struct.error when short); a from 56.
            if (header_size == 40 && !f.has(66)) return {};
            Masks masks = {f.le32(54), f.le32(58), f.le32(62), header_size >= 56 ? f.le32(66) : 0};
            // The depth is checked first: "Unsupported BMP pixel depth".
            if (!has_mode(bits) || !supported_bitfields(bits, masks)) return {};
        }
    } else {
        return {};  // "Unsupported BMP header type"
    }
    if (!has_mode(bits)) return {};  // "Unsupported BMP pixel depth"
    // "Unsupported BMP compression" past RAW, RLE8, RLE4 and BITFIELDS; the
    // run-length ones take any depth.
    if (compression != kRaw && compression != kRle8 && compression != kRle4 && compression != kBitfields) return {};
    if (bits <= 8) {
        if (colors == 0) colors = std::uint64_t(1) << bits;
        if (colors > 65536) return {};  // "Unsupported BMP Palette size"
    }
    return size_of(width, height);  // ImageFile: a size of 0 is "not identified by this driver"
}

}  // namespace pretrain
