// The resource files object "kaplet_resource_reader_files": a path inside a
// row's module directory, with the traversable operations importlib.resources
// asks for.
#pragma once

#include "module_table.h"
#include "ref.h"

namespace kaplet {

// A files object for row with the given relative path (a str). The first one
// made registers the type with importlib.resources.as_file.
Ref make_resource_files(ModuleRow* row, PyObject* relative);

}  // namespace kaplet
