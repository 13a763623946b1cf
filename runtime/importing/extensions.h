// Extension files found in a package directory beside the library's own
// modules, and the legacy find_module/load_module protocol over them.
#pragma once

#include "builtin_methods.h"
#include "ref.h"

namespace kaplet {

// Looks for an extension file for fullname in its package's __path__ and
// records it in the installed extension map; false when there is none.
bool search_extension(PyObject* fullname);
// The recorded path for fullname, or a null Ref. A new reference: a later
// search may replace the record while the caller still uses the path.
Ref installed_extension(PyObject* fullname);

// The finder's find_module and load_module.
extern const MethodDef kFindModule;
extern const MethodDef kLoadModule;

}  // namespace kaplet
