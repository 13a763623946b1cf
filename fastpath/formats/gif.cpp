#include "formats/gif.h"

#include "genuine.h"
#include "pillow_code.h"

#include <cstring>

using kaplet::Ref;

namespace pretrain::gif {

// GifImagePlugin: the screen descriptor and its palette, extension blocks,
// and the first image descriptor, which may widen the size.
HeaderSize read(FileStart& f, PillowVersion, const GifRules&) {
    if (!f.has(13) || std::memcmp(f.bytes(0), "GIF8", 4) != 0 || (f.at(4) != '7' && f.at(4) != '9') || f.at(5) != 'a') {
        return {};
    }
    std::uint64_t width = f.le16(6), height = f.le16(8);
    std::uint8_t flags = f.at(10);
    std::uint64_t pos = 13;
    if (flags & 128) pos += 3u << ((flags & 7) + 1);
    for (;;) {
        if (!f.has(pos + 1)) return {};
        std::uint8_t kind = f.at(pos);
        if (kind == '!') {
            if (!f.has(pos + 3)) return {};
            std::uint8_t label = f.at(pos + 1);
            std::uint8_t first_block = f.at(pos + 2);
            if (label == 249) {
                if (first_block != 4 || !f.has(pos + 7)) return {};
                if (((f.at(pos + 3) >> 2) & 7) >= 2) return {};  // disposal makes images
            } else if (label == 255 || label == 254 || label == 1) {
                if (first_block == 0) return {};
            } else {
                return {};
            }
            pos += 2;
            for (;;) {  // sub-blocks up to the empty one
                if (!f.has(pos + 1)) return {};
                std::uint8_t size = f.at(pos);
                pos += 1 + size;
                if (size == 0) break;
            }
        } else if (kind == ',') {
            if (!f.has(pos + 11)) return {};
            std::uint64_t x1 = f.le16(pos + 1) + f.le16(pos + 5);
            std::uint64_t y1 = f.le16(pos + 3) + f.le16(pos + 7);
            std::uint8_t image_flags = f.at(pos + 9);
            std::uint64_t after = pos + 10 + ((image_flags & 128) ? (3u << ((image_flags & 7) + 1)) : 0);
            if (!f.has(after + 1)) return {};
            if (x1 > width || y1 > height) return {};  // widening checks its own size; Pillow does it
            return size_of(width, height);
        } else {
            return {};
        }
    }
}

bool code_is_own(PyObject* module, PillowVersion version, GifRules&) {
    if (version != PillowVersion::V11_3_0) return false;
    return pillow_image_class(dict_entry(PyModule_GetDict(module), "GifImageFile").get(),
                              {"_seek", "data", "_is_palette_needed"});
}

}  // namespace pretrain::gif
