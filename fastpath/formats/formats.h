// The formats the header readers answer, one descriptor each: its name in
// Image.ID, Pillow's plugin module and the factory it registers, the first
// byte of every file its reader answers, the reader, and the check that
// Pillow's opening code for it is Pillow's own. The dispatch of files to
// readers (image_headers.cpp) and the plugin check (pillow_check.cpp) are
// derived from this table alone; a format's rules and quirks are its own
// header's (formats/<format>.h).
#pragma once

#include "file_start.h"
#include "formats/pillow_rules.h"
#include "image_headers.h"

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace pretrain {

struct FormatDescriptor {
    ImageFormat format;
    const char* pillow_id;  // Image.ID's name, Image.OPEN's key
    const char* module;     // the plugin module
    const char* factory;    // the plugin module's factory in Image.OPEN
    std::uint8_t first_byte;
    // Plain C++, without the interpreter lock.
    HeaderSize (*read)(FileStart& file, const PillowRules& rules);
    // Under the interpreter lock: fills the format's rules.
    bool (*code_is_own)(PyObject* module, PillowRules& rules);
};

inline constexpr FormatDescriptor kFormats[] = {
    {kPng, "PNG", "PIL.PngImagePlugin", "PngImageFile", 0x89,
     [](FileStart& f, const PillowRules& r) { return png::read(f, r.png); },
     [](PyObject* m, PillowRules& r) { return png::code_is_own(m, r.version, r.png); }},
    {kJpeg, "JPEG", "PIL.JpegImagePlugin", "jpeg_factory", 0xFF,
     [](FileStart& f, const PillowRules& r) { return jpeg::read(f, r.jpeg); },
     [](PyObject* m, PillowRules& r) { return jpeg::code_is_own(m, r.version, r.jpeg); }},
    {kGif, "GIF", "PIL.GifImagePlugin", "GifImageFile", 'G',
     [](FileStart& f, const PillowRules& r) { return gif::read(f, r.gif); },
     [](PyObject* m, PillowRules& r) { return gif::code_is_own(m, r.version, r.gif); }},
    {kBmp, "BMP", "PIL.BmpImagePlugin", "BmpImageFile", 'B',
     [](FileStart& f, const PillowRules& r) { return bmp::read(f, r.bmp); },
     [](PyObject* m, PillowRules& r) { return bmp::code_is_own(m, r.version, r.bmp); }},
};

inline constexpr std::size_t kFormatCount = std::size(kFormats);

// The format's place in kFormats.
constexpr std::size_t format_index(ImageFormat format) {
    std::size_t i = 0;
    while (i + 1 < kFormatCount && kFormats[i].format != format) ++i;
    return i;
}

}  // namespace pretrain
