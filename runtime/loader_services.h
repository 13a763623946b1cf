// The finder's services beyond importing its own rows: extension files found
// in a package directory, resource readers, distributions and the legacy
// find_module/load_module protocol.
#pragma once

#include "module_table.h"
#include "ref.h"

namespace kaplet {

// Extension files.
// Looks for an extension file for fullname in its package's __path__ and
// records it in the installed extension map; false when there is none.
bool search_extension(PyObject* fullname);
// The recorded path for fullname, or a null Ref. A new reference: a later
// search may replace the record while the caller still uses the path.
Ref installed_extension(PyObject* fullname);
// Loads the extension file at path as module fullname.
Ref load_extension(PyObject* path, PyObject* fullname);

// Finder methods implemented beside their services (METH_VARARGS | METH_KEYWORDS | METH_STATIC).
PyObject* finder_find_module(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* finder_load_module(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* finder_get_resource_reader(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* finder_find_distributions(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace kaplet
