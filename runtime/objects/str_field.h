// The setter of a __name__ or __qualname__ field: a str only, with the
// interpreter's text, as for its own functions and coroutines.
#pragma once

#include <Python.h>

namespace kaplet {

inline int set_str_field(PyObject** field, PyObject* value, const char* what) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

}  // namespace kaplet
