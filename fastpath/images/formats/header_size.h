// The size Pillow's Image.open finds for an image file, read from the file
// header in plain C++ (no Python, safe to run without the interpreter lock).
// Only what the bytes show Pillow's plugin would open to exactly that size,
// without an exception or a warning, is answered (one home per
// plugin); everything else is left to Pillow.
#pragma once

#include <cstdint>
#include <string>

namespace pretrain {

enum ImageFormat : unsigned { kPng = 1, kJpeg = 2, kGif = 4, kBmp = 8 };

struct HeaderSize {
    bool known = false;  // false: ask Pillow
    ImageFormat format = kPng;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::string prefix;  // the first 16 bytes, which Image.open shows each plugin
};

// A known size, when both sides are positive (Pillow's ImageFile refuses
// anything else).
HeaderSize size_of(std::uint64_t width, std::uint64_t height);

struct PillowRules;

// Reads the header of the file at path (in the system's encoding); only the
// formats in `formats` (a mask of ImageFormat) are answered, and only
// regular files are opened.
HeaderSize read_header_size(const std::string& path, unsigned formats, const PillowRules& rules);

}  // namespace pretrain
