// The decompressed size of a zlib stream (RFC 1950 around RFC 1951 deflate
// data), for the header readers that must know how much a compressed chunk
// expands to. Plain C++: used without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pretrain {

// The number of bytes the complete, valid zlib stream at the start of
// `data` decompresses to, when that is below `limit`; bytes after the
// stream's checksum are ignored. Nothing (unknown) for anything else: a
// stream that is cut short, damaged, uses a preset dictionary, fails its
// checksum, or would reach `limit`. An empty input decompresses to nothing.
std::optional<std::uint64_t> inflated_size(const std::uint8_t* data, std::size_t size, std::uint64_t limit);

}  // namespace pretrain
