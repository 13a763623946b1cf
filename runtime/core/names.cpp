#include "names.h"

namespace kaplet {

PyObject* intern_into(PyObject** slot, const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) throw_python_error();
    *slot = s;
    return s;
}

}  // namespace kaplet
