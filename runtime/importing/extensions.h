// Extension files found in a package directory beside the library's own
// modules, and the legacy find_module/load_module protocol over them.
#pragma once

#include "ref.h"

namespace kaplet {

// Looks for an extension file for fullname in its package's __path__ and
// records it in the installed extension map; false when there is none.
bool search_extension(PyObject* fullname);
// The recorded path for fullname, or a null Ref. A new reference: a later
// search may replace the record while the caller still uses the path.
Ref installed_extension(PyObject* fullname);

// The finder's find_module and load_module (METH_VARARGS | METH_KEYWORDS | METH_STATIC).
PyObject* finder_find_module(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* finder_load_module(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace kaplet
