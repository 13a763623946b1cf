// `with manager as value: block` as the interpreter carries it out.
#pragma once

#include "error.h"
#include "ref.h"

namespace kaplet {

// One with statement after __enter__ has been called.
class WithStatement {
public:
    // Looks __enter__ and __exit__ up on the manager's type, with the
    // interpreter's messages when either is missing, then calls __enter__.
    explicit WithStatement(PyObject* manager);
    WithStatement(const WithStatement&) = delete;
    WithStatement& operator=(const WithStatement&) = delete;

    // What __enter__ returned: the target of `as`.
    const Ref& value() const noexcept { return value_; }
    // The block finished: __exit__(None, None, None).
    void exit();
    // The block raised (the error is pending): __exit__(type, value,
    // traceback). Returns when __exit__ suppressed the exception; otherwise
    // the exception, or the one __exit__ raised, is thrown on.
    void exit_with_error();

private:
    Ref exit_;
    Ref value_;
};

namespace detail {

// The special method looked up on the type and bound to obj
// (_PyObject_LookupSpecial); a null Ref when the type has none.
inline Ref special_method(PyObject* obj, PyObject* name) {
    Ref descr = Ref::borrow_or_null(_PyType_Lookup(Py_TYPE(obj), name));
    if (!descr) return {};
    descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
    if (get == nullptr) return descr;
    return Ref::steal(get(descr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

// An interned name kept for the life of the process.
inline PyObject* interned_name(PyObject*& cache, const char* text) {
    if (cache == nullptr) cache = check(PyUnicode_InternFromString(text));
    return cache;
}

}  // namespace detail

inline WithStatement::WithStatement(PyObject* manager) {
    static PyObject* enter_name = nullptr;
    static PyObject* exit_name = nullptr;
    Ref enter = detail::special_method(manager, detail::interned_name(enter_name, "__enter__"));
    if (!enter) {
        raise(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
              Py_TYPE(manager)->tp_name);
    }
    exit_ = detail::special_method(manager, detail::interned_name(exit_name, "__exit__"));
    if (!exit_) {
        raise(PyExc_TypeError,
              "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
              Py_TYPE(manager)->tp_name);
    }
    value_ = enter();
}

inline void WithStatement::exit() { exit_(Py_None, Py_None, Py_None); }

inline void WithStatement::exit_with_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    // __exit__ runs as inside the statement's exception handler.
    PyObject* handled = PyErr_GetHandledException();
    PyErr_SetHandledException(value);
    PyObject* result = PyObject_CallFunctionObjArgs(exit_.get(), type, value, tb ? tb : Py_None, nullptr);
    PyErr_SetHandledException(handled);
    Py_XDECREF(handled);
    int suppress = result ? PyObject_IsTrue(result) : -1;
    Py_XDECREF(result);
    if (suppress < 0) {
        _PyErr_ChainExceptions(type, value, tb);
        throw_python_error();
    }
    if (suppress) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    throw_python_error();
}

// with manager as value: block(value)
template <class Block>
void with_statement(PyObject* manager, Block&& block) {
    WithStatement with(manager);
    try {
        block(with.value());
    } catch (...) {
        set_error_from_current_exception();
        with.exit_with_error();
        return;
    }
    with.exit();
}

}  // namespace kaplet
