// Loading an extension file as a module, as the interpreter's own extension
// loader does (single- and multi-phase initialisation).
#pragma once

#include "ref.h"

namespace kaplet {

// Loads the extension file at path as module fullname.
Ref load_extension(PyObject* path, PyObject* fullname);

}  // namespace kaplet
