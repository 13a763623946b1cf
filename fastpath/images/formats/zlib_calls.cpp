#include "zlib_calls.h"

#define ZLIB_CONST
#include <zlib.h>

#include <climits>

namespace pretrain {

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    return static_cast<std::uint32_t>(crc32_z(crc, data, size));
}

namespace {

struct Output {
    std::uint64_t total = 0;
    std::uint64_t limit;
};

// inflateBack's output, counted: a nonzero answer stops it at the limit.
int count_output(void* output, unsigned char*, unsigned size) {
    auto* out = static_cast<Output*>(output);
    out->total += size;
    return out->total >= out->limit;
}

// inflateBack's input is all given up front.
unsigned no_more_input(void*, z_const unsigned char**) { return 0; }

}  // namespace

std::optional<std::uint64_t> inflated_size(const std::uint8_t* data, std::size_t size, std::uint64_t limit) {
    if (size == 0) return limit > 0 ? std::optional<std::uint64_t>(0) : std::nullopt;
    if (size < 2 || size - 2 > UINT_MAX) return {};
    // The zlib header decompressobj() takes: deflate with a window of at
    // most 32 KiB, the header check, no preset dictionary.
    unsigned cmf = data[0], flg = data[1];
    if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || ((cmf << 8) | flg) % 31 != 0 || (flg & 0x20)) return {};
    // The deflate data through inflateBack, which writes into the window
    // itself. The Adler-32 after it is not read: a wrong one makes
    // decompress raise zlib.error, which the chunk handlers take as no text
    // or no profile, never as a failure, and whose text is never longer
    // than the one counted here.
    unsigned char window[1 << 15];
    z_stream stream{};
    if (inflateBackInit(&stream, 15, window) != Z_OK) return {};
    stream.next_in = data + 2;
    stream.avail_in = static_cast<uInt>(size - 2);
    Output output{0, limit};
    int status = inflateBack(&stream, no_more_input, nullptr, count_output, &output);
    inflateBackEnd(&stream);
    if (status != Z_STREAM_END || output.total >= limit) return {};
    return output.total;
}

}  // namespace pretrain
