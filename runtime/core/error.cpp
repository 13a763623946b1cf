#include "error.h"

#include <cstdarg>

namespace kaplet {

void raise(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw_python_error();
}

void raise_object(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    throw_python_error();
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace kaplet
