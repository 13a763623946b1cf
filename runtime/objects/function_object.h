// The layout of the runtime's function objects, for the files of objects/
// that work on their fields (function.cpp, argument_binding.cpp). Every field
// is a borrowed reference in the sense of runtime/README.md's first rule: a
// setter run by user code may replace it.
#pragma once

#include "function.h"
#include "ref.h"

namespace kaplet {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* code_name;  // the qualified name at definition, as a code object keeps it
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* globals;
    PyObject* builtins;
    PyObject* class_cell;
    PyObject* dict;
    PyObject* weakreflist;
};

inline FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// An owned field value for the duration of an error message: formatting
// allocates, and a collection it runs may let user code replace the field.
inline PyObject* own(PyObject* field, Ref&& holder = Ref()) {
    holder = Ref::borrow(field);
    return holder.get();
}

}  // namespace kaplet
