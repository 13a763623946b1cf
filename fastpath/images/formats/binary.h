// Unsigned integers read from bytes, named as Pillow's _binary names them
// (i16be, i32le, ...): the one place the header readers turn bytes into
// numbers. Plain C++.
#pragma once

#include <cstdint>

namespace pretrain::binary {

constexpr std::uint32_t i16be(const std::uint8_t* s) { return std::uint32_t(s[0]) << 8 | s[1]; }
constexpr std::uint32_t i32be(const std::uint8_t* s) { return i16be(s) << 16 | i16be(s + 2); }
constexpr std::uint32_t i16le(const std::uint8_t* s) { return s[0] | std::uint32_t(s[1]) << 8; }
constexpr std::uint32_t i32le(const std::uint8_t* s) { return i16le(s) | i16le(s + 2) << 16; }

// In the byte order a TIFF header names.
constexpr std::uint32_t i16(const std::uint8_t* s, bool big) { return big ? i16be(s) : i16le(s); }
constexpr std::uint32_t i32(const std::uint8_t* s, bool big) { return big ? i32be(s) : i32le(s); }

}  // namespace pretrain::binary
