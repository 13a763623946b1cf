// Raising Python errors from C++ and turning C++ failures back into NULL at
// the boundary where the interpreter calls the library.
#pragma once

#include "ref.h"

#include <exception>
#include <new>
#include <type_traits>

namespace kaplet {

// Sets a Python exception from a printf-style format (PyErr_Format) and throws.
[[noreturn]] void raise(PyObject* type, const char* format, ...);
// Sets a Python exception with the given object as its value and throws.
[[noreturn]] void raise_object(PyObject* type, PyObject* value);

inline void check(int status) {
    if (status < 0) throw_python_error();
}
inline PyObject* check(PyObject* p) {
    if (p == nullptr) throw_python_error();
    return p;
}

// Sets a Python error for a C++ exception that is not PythonError.
void set_error_from_current_exception() noexcept;

// Runs f; any C++ exception becomes a pending Python error and a NULL (or -1)
// result. Every function the interpreter calls goes through this.
template <class F>
auto boundary(F&& f) noexcept -> decltype(f()) {
    using R = decltype(f());
    try {
        return f();
    } catch (...) {
        set_error_from_current_exception();
        if constexpr (std::is_pointer_v<R>) {
            return nullptr;
        } else {
            return R(-1);
        }
    }
}

// A Python error taken out of the interpreter's error indicator, to be set again later.
class SavedError {
public:
    SavedError() = default;
    static SavedError fetch() noexcept {
        SavedError e;
        PyErr_Fetch(&e.type_, &e.value_, &e.traceback_);
        return e;
    }
    SavedError(SavedError&& o) noexcept
        : type_(std::exchange(o.type_, nullptr)),
          value_(std::exchange(o.value_, nullptr)),
          traceback_(std::exchange(o.traceback_, nullptr)) {}
    SavedError& operator=(SavedError&& o) noexcept {
        std::swap(type_, o.type_);
        std::swap(value_, o.value_);
        std::swap(traceback_, o.traceback_);
        return *this;
    }
    ~SavedError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    explicit operator bool() const noexcept { return type_ != nullptr; }
    // Sets the error again (ownership goes to the interpreter).
    void restore() noexcept {
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(traceback_, nullptr));
    }
    [[noreturn]] void rethrow() {
        restore();
        throw_python_error();
    }
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(type_);
        Py_VISIT(value_);
        Py_VISIT(traceback_);
        return 0;
    }
    // True when the saved exception is an instance of type.
    bool matches(PyObject* type) const noexcept {
        return type_ != nullptr && PyErr_GivenExceptionMatches(type_, type);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// True when the pending error is an instance of type; leaves it set.
inline bool error_matches(PyObject* type) noexcept { return PyErr_ExceptionMatches(type) != 0; }

}  // namespace kaplet
