// The call behind every import statement: builtins.__import__(name, globals, None, fromlist, 0).
#pragma once

#include "ref.h"

namespace kaplet {

// The builtins dictionary that code running with these globals sees.
PyObject* builtins_of(PyObject* globals);

// Looks __import__ up in the builtins of globals (as the interpreter does) and calls it.
Ref call_import(PyObject* globals, PyObject* dotted, PyObject* fromlist);
Ref call_import(PyObject* globals, const char* dotted, PyObject* fromlist);

}  // namespace kaplet
