// Pillow's Png plugin, as far as the size scan mirrors it.
#pragma once

#include "file_start.h"
#include "formats/pillow_version.h"
#include "image_headers.h"

#include <Python.h>

#include <cstdint>

namespace pretrain {

// The settings of Pillow's modules that the plugin's opening code reads.
struct PngRules {
    bool load_truncated = false;           // ImageFile.LOAD_TRUNCATED_IMAGES
    std::uint64_t max_text_chunk = 0;      // PngImagePlugin.MAX_TEXT_CHUNK, positive
    std::int64_t max_text_memory = 0;      // PngImagePlugin.MAX_TEXT_MEMORY, saturated
    bool operator==(const PngRules&) const = default;
};

namespace png {

// The size Pillow's Png plugin finds, when the bytes show that its opening
// code gives exactly that size with no exception and no warning; unknown
// otherwise. Plain C++: runs without the interpreter lock.
HeaderSize read(FileStart& file, PillowVersion version, const PngRules& rules);

// The plugin module's opening code is Pillow's own for this release; fills
// the rules from the module's settings. Needs the interpreter lock.
bool code_is_own(PyObject* module, PillowVersion version, PngRules& rules);

}  // namespace png
}  // namespace pretrain
