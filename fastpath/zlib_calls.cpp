#include "zlib_calls.h"

#define ZLIB_CONST
#include <zlib.h>

#include <climits>

namespace pretrain {

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    return static_cast<std::uint32_t>(crc32_z(crc, data, size));
}

std::optional<std::uint64_t> inflated_size(const std::uint8_t* data, std::size_t size, std::uint64_t limit) {
    if (size == 0) return limit > 0 ? std::optional<std::uint64_t>(0) : std::nullopt;
    if (size > UINT_MAX) return {};
    z_stream stream{};
    // decompressobj()'s defaults: a zlib header, a window of up to 32 KiB.
    if (inflateInit2(&stream, MAX_WBITS) != Z_OK) return {};
    stream.next_in = data;
    stream.avail_in = static_cast<uInt>(size);
    std::uint64_t total = 0;
    unsigned char out[1 << 15];
    int status = Z_OK;
    // Z_BUF_ERROR: the input ended before the stream did.
    while (status == Z_OK && total < limit) {
        stream.next_out = out;
        stream.avail_out = sizeof out;
        status = inflate(&stream, Z_NO_FLUSH);
        total += sizeof out - stream.avail_out;
    }
    inflateEnd(&stream);
    if (status != Z_STREAM_END || total >= limit) return {};
    return total;
}

}  // namespace pretrain
