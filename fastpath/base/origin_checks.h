// Tests that a library object is still the one its library defined, so that a
// fast path may do natively what the object's Python code would do. Each test
// only reads dictionaries and object fields; none runs Python code.
#pragma once

#include "fingerprint.h"
#include "ref.h"

namespace pretrain {

// The value under name in dict (an exact dict), or a null Ref.
kaplet::Ref dict_entry(PyObject* dict, const char* name);

// The module object sys.modules holds under name, or a null Ref.
kaplet::Ref loaded_module(const char* name);

// True when obj is a plain function named `name`, written in `module`'s own
// source file and running with that module's globals. Static methods,
// class methods and properties are looked through to their function.
bool defined_in(PyObject* obj, PyObject* module, const char* name);

// True when the module's global `name` is its own function of that name.
bool own_function(PyObject* module, const char* name);

// True when `type` holds `name` in its own dictionary as one of its module's
// functions (looked through as defined_in does).
bool own_method(PyObject* type, PyObject* module, const char* name);

// True when none of the classes of type's method resolution order before
// `owner` defines `name`, so that attribute lookups reach owner's.
bool inherited_from(PyTypeObject* type, PyTypeObject* owner, const char* name);

}  // namespace pretrain
