// Expression operators with the interpreter's number, sequence and string rules.
#pragma once

#include "error.h"
#include "names.h"
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

// One replacement field of an f-string, `{value}` or `{value:spec}`; spec is
// a str ("..."_py).
inline Ref format(PyObject* value, PyObject* spec = nullptr) {
    if (spec == nullptr && PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Format(value, spec));
}
inline Ref format(const Ref& value, PyObject* spec = nullptr) { return format(value.get(), spec); }

// The string an f-string builds from its pieces (literals and formatted
// fields), joined with nothing in between.
inline Ref join_text(std::initializer_list<PyObject*> pieces) {
    return Ref::steal(_PyUnicode_JoinArray(""_py, pieces.begin(), static_cast<Py_ssize_t>(pieces.size())));
}

// Floats as the literal `0.8` makes them.
inline Ref floating(double value) { return Ref::steal(PyFloat_FromDouble(value)); }

}  // namespace kaplet
