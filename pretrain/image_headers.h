// The size Pillow's Image.open finds for an image file, read from the file
// header in plain C++ (no Python, safe to run without the interpreter lock).
// Only clean files of the common formats are read: anything Pillow's plugin
// would treat differently from the plain case (a truncated or damaged
// header, an unusual segment, a format variant) is left to Pillow.
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

// Reads the header of the file at path (in the system's encoding); only the
// formats in `formats` (a mask of ImageFormat) are answered.
HeaderSize read_header_size(const std::string& path, unsigned formats);

}  // namespace pretrain
