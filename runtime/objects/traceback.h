// Traceback entries for native code: what the interpreter adds for a frame
// when an exception leaves it.
#pragma once

#include <Python.h>

namespace kaplet {

// Adds an entry naming globals["__file__"] (or "<unknown>"), code_name and
// line to the pending exception. Never fails: the exception stays set.
void add_traceback_entry(PyObject* globals, const char* code_name, int line) noexcept;
void add_traceback_entry(PyObject* globals, PyObject* code_name, int line) noexcept;

}  // namespace kaplet
