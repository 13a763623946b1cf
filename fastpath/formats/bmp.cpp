#include "formats/bmp.h"

#include "genuine.h"
#include "pillow_code.h"

using kaplet::Ref;

namespace pretrain::bmp {

// BmpImagePlugin: a complete info header of a supported kind, uncompressed,
// with a supported depth and palette size.
HeaderSize read(FileStart& f, PillowVersion, const BmpRules&) {
    if (!f.has(18) || f.at(0) != 'B' || f.at(1) != 'M') return {};
    std::uint32_t header_size = f.le32(14);
    if (!f.has(14 + std::uint64_t(header_size))) return {};
    std::uint64_t width, height;
    std::uint32_t bits, compression, colors = 0;
    if (header_size == 12) {
        width = f.le16(18);
        height = f.le16(20);
        bits = f.le16(24);
        compression = 0;
    } else if (header_size == 40 || header_size == 52 || header_size == 56 || header_size == 64 ||
               header_size == 108 || header_size == 124) {
        width = f.le32(18);
        bool y_flip = f.at(25) == 0xFF;
        height = y_flip ? (std::uint64_t(1) << 32) - f.le32(22) : f.le32(22);
        bits = f.le16(28);
        compression = f.le32(30);
        colors = f.le32(46);
    } else {
        return {};
    }
    if (compression != 0) return {};
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return {};
    if (bits <= 8) {
        std::uint64_t palette = colors != 0 ? colors : (std::uint64_t(1) << bits);
        if (palette == 0 || palette > 65536) return {};
    }
    return size_of(width, height);
}

bool code_is_own(PyObject* module, PillowVersion version, BmpRules&) {
    if (version != PillowVersion::V11_3_0) return false;
    return pillow_image_class(dict_entry(PyModule_GetDict(module), "BmpImageFile").get(), {"_bitmap"});
}

}  // namespace pretrain::bmp
