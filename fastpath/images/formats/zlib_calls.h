// What the header readers ask zlib (linked into the library): a checksum,
// and how much a compressed chunk expands to. Plain C++: used without the
// interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pretrain {

// zlib.crc32(data, crc).
std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

// The number of bytes the zlib stream at the start of `data` decompresses
// to (as zlib.decompressobj() takes it), when that is below `limit`; bytes
// after the deflate data are not read, its Adler-32 included. Nothing
// (unknown) for anything else: a stream that is cut short or damaged,
// needs a preset dictionary, or would reach `limit`. An empty input
// decompresses to nothing. The output is counted, never kept.
std::optional<std::uint64_t> inflated_size(const std::uint8_t* data, std::size_t size, std::uint64_t limit);

}  // namespace pretrain
