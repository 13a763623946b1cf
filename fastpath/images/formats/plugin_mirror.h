// The shape every format's home has. The home's header (<format>.h)
// holds its Rules: the settings of Pillow's modules that the plugin's
// opening code reads, with its Quirks where releases differ. Its files
// define the two functions below for those Rules. kFormats (format_table.h)
// names each format's Rules; PillowRules holds one of each.
#pragma once

#include "file_start.h"
#include "pillow_releases.h"
#include "header_size.h"

#include <Python.h>

namespace pretrain {

template <class Rules>
struct PluginMirror {
    // The size the plugin finds, when the bytes show that its opening code
    // gives exactly that size with no exception and no warning; unknown
    // otherwise. Plain C++: runs without the interpreter lock.
    static HeaderSize read(FileStart& file, const Rules& rules);

    // The plugin module's opening code is Pillow's own for this release;
    // fills the rules from the module's settings. Needs the interpreter lock.
    static bool code_is_own(PyObject* module, PillowVersion version, Rules& rules);
};

}  // namespace pretrain
