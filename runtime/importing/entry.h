// The library entry, shared by every library built on this runtime:
//   PyMODINIT_FUNC PyInit_name(void) { return kaplet::library_entry(); }
#pragma once

#include <Python.h>

namespace kaplet {

PyObject* library_entry() noexcept;

}  // namespace kaplet
