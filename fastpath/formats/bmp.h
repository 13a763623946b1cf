// Pillow's Bmp plugin, as far as the size scan mirrors it.
#pragma once

#include "file_start.h"
#include "formats/pillow_version.h"
#include "image_headers.h"

#include <Python.h>

namespace pretrain {

// The settings of Pillow's modules that the plugin's opening code reads.
struct BmpRules {
    bool operator==(const BmpRules&) const = default;
};

namespace bmp {

// The size Pillow's Bmp plugin finds, when the bytes show that its opening
// code gives exactly that size with no exception and no warning; unknown
// otherwise. Plain C++: runs without the interpreter lock.
HeaderSize read(FileStart& file, const BmpRules& rules);

// The plugin module's opening code is Pillow's own for this release; fills
// the rules from the module's settings. Needs the interpreter lock.
bool code_is_own(PyObject* module, PillowVersion version, BmpRules& rules);

}  // namespace bmp
}  // namespace pretrain
