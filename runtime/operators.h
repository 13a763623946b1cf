// Expression operators with the interpreter's number, sequence and string rules.
#pragma once

#include "error.h"
#include "ref.h"

#include <initializer_list>

namespace kaplet {

inline Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
inline Ref subtract(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
inline Ref multiply(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Multiply(a, b)); }
// `a / b` (true division).
inline Ref divide(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }

// `len(obj)`.
inline Py_ssize_t length(PyObject* obj) {
    Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) throw_python_error();
    return n;
}

// `a == b` as a truth value.
inline bool equal(PyObject* a, PyObject* b) {
    int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) throw_python_error();
    return r != 0;
}
// `item in container`.
inline bool contains(PyObject* container, PyObject* item) {
    int r = PySequence_Contains(container, item);
    if (r < 0) throw_python_error();
    return r != 0;
}

// `obj[start:stop]` through a real slice object.
inline Ref slice(PyObject* obj, PyObject* start, PyObject* stop) {
    Ref s = Ref::steal(PySlice_New(start, stop, nullptr));
    return Ref::steal(PyObject_GetItem(obj, s.get()));
}

// One replacement field of an f-string: format(value, spec).
inline Ref format(PyObject* value, const char* spec = "") {
    Ref spec_text = str(spec);
    return Ref::steal(PyObject_Format(value, spec_text.get()));
}
inline Ref format(const Ref& value, const char* spec = "") { return format(value.get(), spec); }

// The string an f-string builds from its pieces (literals and formatted
// fields), joined with nothing in between.
inline Ref join_text(std::initializer_list<PyObject*> pieces) {
    Ref items = Ref::steal(PyList_New(0));
    for (PyObject* piece : pieces) check(PyList_Append(items.get(), piece));
    Ref empty = str("");
    return Ref::steal(PyUnicode_Join(empty.get(), items.get()));
}

// Floats as the literal `0.8` makes them.
inline Ref floating(double value) { return Ref::steal(PyFloat_FromDouble(value)); }

}  // namespace kaplet
