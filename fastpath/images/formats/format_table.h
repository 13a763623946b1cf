// The formats the header readers answer, one descriptor each: its name in
// Image.ID, Pillow's plugin module and the factory it registers, the first
// byte of every file its reader answers, the reader, and the check that
// Pillow's opening code for it is Pillow's own. The dispatch of files to
// readers (header_size.cpp) and the plugin check (images/pillow_check.cpp) are
// derived from this table alone. A format's rules and quirks are its own
// header's (<format>.h), its reader and code check the
// PluginMirror of its rules (plugin_mirror.h).
#pragma once

#include "file_start.h"
#include "pillow_rules.h"
#include "plugin_mirror.h"
#include "header_size.h"

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <tuple>

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

// The descriptor of the format whose home defines PluginMirror<Rules>: its
// reader and code check get the Rules slot of PillowRules.
template <class Rules>
constexpr FormatDescriptor describe(ImageFormat format, const char* pillow_id, const char* module, const char* factory,
                                    std::uint8_t first_byte) {
    return {format, pillow_id, module, factory, first_byte,
            [](FileStart& file, const PillowRules& rules) {
                return PluginMirror<Rules>::read(file, std::get<Rules>(rules.formats));
            },
            [](PyObject* plugin, PillowRules& rules) {
                return PluginMirror<Rules>::code_is_own(plugin, rules.version, std::get<Rules>(rules.formats));
            }};
}

// Each format's home defines these (<format>.cpp and <format>_code_check.cpp);
// declared before the table that uses them, as explicit specializations must be.
template <> HeaderSize PluginMirror<PngRules>::read(FileStart&, const PngRules&);
template <> bool PluginMirror<PngRules>::code_is_own(PyObject*, PillowVersion, PngRules&);
template <> HeaderSize PluginMirror<JpegRules>::read(FileStart&, const JpegRules&);
template <> bool PluginMirror<JpegRules>::code_is_own(PyObject*, PillowVersion, JpegRules&);
template <> HeaderSize PluginMirror<GifRules>::read(FileStart&, const GifRules&);
template <> bool PluginMirror<GifRules>::code_is_own(PyObject*, PillowVersion, GifRules&);
template <> HeaderSize PluginMirror<BmpRules>::read(FileStart&, const BmpRules&);
template <> bool PluginMirror<BmpRules>::code_is_own(PyObject*, PillowVersion, BmpRules&);

inline constexpr FormatDescriptor kFormats[] = {
    describe<PngRules>(kPng, "PNG", "PIL.PngImagePlugin", "PngImageFile", 0x89),
    describe<JpegRules>(kJpeg, "JPEG", "PIL.JpegImagePlugin", "jpeg_factory", 0xFF),
    describe<GifRules>(kGif, "GIF", "PIL.GifImagePlugin", "GifImageFile", 'G'),
    describe<BmpRules>(kBmp, "BMP", "PIL.BmpImagePlugin", "BmpImageFile", 'B'),
};

inline constexpr std::size_t kFormatCount = std::size(kFormats);
static_assert(std::tuple_size_v<FormatRules> == kFormatCount, "a slot of PillowRules per format");

// The format's place in kFormats.
constexpr std::size_t format_index(ImageFormat format) {
    std::size_t i = 0;
    while (i + 1 < kFormatCount && kFormats[i].format != format) ++i;
    return i;
}

}  // namespace pretrain
