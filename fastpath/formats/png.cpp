#include "formats/png.h"

#include "genuine.h"
#include "pillow_code.h"

#include <cstring>
#include <string_view>

using kaplet::Ref;

namespace pretrain::png {

// PngImagePlugin: the IHDR chunk, then only chunks whose handlers cannot
// fail on well-formed data, each with a good checksum, up to the first IDAT.
HeaderSize read(FileStart& f, PillowVersion, const PngRules&) {
    static const std::uint8_t magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (!f.has(8) || std::memcmp(f.bytes(0), magic, 8) != 0) return {};
    std::uint64_t pos = 8;
    std::uint64_t width = 0, height = 0;
    bool first = true;
    for (;;) {
        if (!f.has(pos + 8)) return {};
        std::uint32_t length = f.be32(pos);
        char id[5] = {};
        std::memcpy(id, f.bytes(pos + 4), 4);
        std::string_view cid(id, 4);
        if (cid == "IDAT") return first ? HeaderSize{} : size_of(width, height);
        if (!f.has(pos + 12 + std::uint64_t(length))) return {};
        const std::uint8_t* data = f.bytes(pos + 8);
        if (crc32(data, length, crc32(f.bytes(pos + 4), 4)) != f.be32(pos + 8 + length)) return {};
        if (first) {
            if (cid != "IHDR" || length != 13) return {};
            width = f.be32(pos + 8);
            height = f.be32(pos + 12);
            std::uint8_t depth = data[8], colour = data[9];
            bool known_mode = (colour == 0 && (depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16)) ||
                              (colour == 3 && (depth == 1 || depth == 2 || depth == 4 || depth == 8)) ||
                              ((colour == 2 || colour == 4 || colour == 6) && (depth == 8 || depth == 16));
            if (!known_mode || data[11] != 0) return {};
            first = false;
        } else if (cid == "PLTE" || (cid == "gAMA" && length == 4) || (cid == "sRGB" && length >= 1) ||
                   (cid == "cHRM" && length % 4 == 0) || (cid == "pHYs" && length == 9 && data[8] == 1)) {
            // handled by Pillow without a way to fail
        } else {
            return {};
        }
        pos += 12 + std::uint64_t(length);
    }
}

bool code_is_own(PyObject* module, PillowVersion version, PngRules&) {
    if (version != PillowVersion::V11_3_0) return false;
    PyObject* globals = PyModule_GetDict(module);
    Ref stream = dict_entry(globals, "PngStream");
    for (const char* name : {"read", "call", "crc", "chunk_IHDR", "chunk_IDAT", "chunk_PLTE", "chunk_gAMA",
                             "chunk_sRGB", "chunk_cHRM", "chunk_pHYs"}) {
        if (!pillow_method(stream.get(), name)) return false;
    }
    // PngStream.call logs every chunk at DEBUG level.
    return debug_logging_off(module) && pillow_image_class(dict_entry(globals, "PngImageFile").get(), {});
}

}  // namespace pretrain::png
