#include "global_lookup.h"

#include "error.h"

namespace kaplet {

Ref lookup_global_uncached(PyObject* globals, PyObject* builtins, PyObject* name, GlobalCache* cache) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw_python_error();
        value = PyDict_GetItemWithError(builtins, name);
        if (value == nullptr) {
            if (PyErr_Occurred()) throw_python_error();
            raise(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    Ref found = Ref::borrow(value);
    if (cache != nullptr) {
        *cache = GlobalCache{globals, builtins, dict_version(globals), dict_version(builtins), value};
    }
    return found;
}

}  // namespace kaplet
