// Owned references and the one C++ exception that means "a Python error is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <utility>

namespace kaplet {

// Thrown after a Python exception has been set; caught at the boundary where
// the interpreter calls into the library and turned back into a NULL return.
struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// A move-only owned reference. Null only when default-constructed or moved from.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference; a NULL means the call that made it failed.
    static Ref steal(PyObject* p) {
        if (p == nullptr) throw_python_error();
        return Ref(p);
    }
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) {
        if (p == nullptr) throw_python_error();
        Py_INCREF(p);
        return Ref(p);
    }
    static Ref borrow_or_null(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept { Py_CLEAR(ptr_); }

    Ref attr(const char* name) const { return steal(PyObject_GetAttrString(ptr_, name)); }
    Ref attr(PyObject* name) const { return steal(get_attribute(ptr_, name)); }
    void set_attr(const char* name, PyObject* value) const {
        if (PyObject_SetAttrString(ptr_, name, value) < 0) throw_python_error();
    }
    void set_attr(PyObject* name, PyObject* value) const {
        if (set_attribute(ptr_, name, value) < 0) throw_python_error();
    }
    void set_attr(PyObject* name, const Ref& value) const { set_attr(name, value.ptr_); }
    Ref item(PyObject* key) const { return steal(get_item(ptr_, key)); }
    Ref item(const char* key) const;
    void set_item(PyObject* key, PyObject* value) const {
        if (set_item(ptr_, key, value) < 0) throw_python_error();
    }
    void set_item(PyObject* key, const Ref& value) const { set_item(key, value.ptr_); }
    bool truthy() const {
        int r = PyObject_IsTrue(ptr_);
        if (r < 0) throw_python_error();
        return r != 0;
    }

    // Positional call: obj(a, b, ...).
    template <class... Args>
    Ref operator()(const Args&... args) const {
        PyObject* argv[] = {nullptr, raw(args)...};
        return steal(PyObject_Vectorcall(ptr_, argv + 1,
                                         sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    // obj.name(a, b, ...) as the interpreter's method call does it: a plain
    // function found on the type is called with obj prepended, no bound method.
    template <class... Args>
    Ref call_method(PyObject* name, const Args&... args) const {
        PyObject* argv[] = {nullptr, ptr_, raw(args)...};
        return steal(PyObject_VectorcallMethod(name, argv + 1,
                                               (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    static PyObject* raw(const Ref& r) noexcept { return r.ptr_; }

    // getattr / setattr / obj[key] / obj[key] = value as the interpreter does
    // them. An interned name on a type with the generic attribute slots, and
    // an exact dict, go straight to the routine the general entry would reach.
    static PyObject* get_attribute(PyObject* obj, PyObject* name) {
        if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
            return PyObject_GenericGetAttr(obj, name);
        }
        return PyObject_GetAttr(obj, name);
    }
    static int set_attribute(PyObject* obj, PyObject* name, PyObject* value) {
        if (Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr && PyUnicode_CheckExact(name) &&
            PyUnicode_CHECK_INTERNED(name)) {
            return PyObject_GenericSetAttr(obj, name, value);
        }
        return PyObject_SetAttr(obj, name, value);
    }
    static PyObject* get_item(PyObject* obj, PyObject* key) {
        if (PyDict_CheckExact(obj)) {
            PyObject* value = PyDict_GetItemWithError(obj, key);
            if (value != nullptr) return Py_NewRef(value);
            if (!PyErr_Occurred()) _PyErr_SetKeyError(key);
            return nullptr;
        }
        return PyObject_GetItem(obj, key);
    }
    static int set_item(PyObject* obj, PyObject* key, PyObject* value) {
        return PyDict_CheckExact(obj) ? PyDict_SetItem(obj, key, value) : PyObject_SetItem(obj, key, value);
    }
    static PyObject* raw(PyObject* p) noexcept { return p; }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// `obj.name` looked up now and called later, as the interpreter's method
// call does it: a plain function found on the type is kept unbound and gets
// obj as its first argument (no bound-method object); any other attribute is
// called as it is.
class Method {
public:
    Method(PyObject* obj, PyObject* name) {
        PyObject* found = nullptr;
        int unbound = _PyObject_GetMethod(obj, name, &found);
        callable_ = Ref::steal(found);
        if (unbound) self_ = Ref::borrow(obj);
    }

    template <class... Args>
    Ref operator()(const Args&... args) const {
        PyObject* argv[] = {nullptr, self_.get(), Ref::raw(args)...};
        PyObject** start = self_ ? argv + 1 : argv + 2;
        std::size_t n = (self_ ? 1 : 0) + sizeof...(Args);
        return Ref::steal(PyObject_Vectorcall(callable_.get(), start, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

private:
    Ref callable_;
    Ref self_;
};

// One keyword argument of a call made with call_kw.
struct Keyword {
    const char* name;
    PyObject* value;
    Keyword(const char* n, PyObject* v) : name(n), value(v) {}
    Keyword(const char* n, const Ref& v) : name(n), value(v.get()) {}
};

// obj(*positional, **{keywords}).
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
            std::initializer_list<Keyword> keywords);
// obj(*args_tuple, **kwargs_dict); either may be null.
Ref call_star(PyObject* callable, PyObject* args_tuple, PyObject* kwargs_dict);

// dict[key] or a null Ref when the key is missing; errors of the lookup throw.
Ref dict_item(PyObject* dict, PyObject* key);

// getattr(obj, name) or a null Ref when the attribute is missing; other errors throw.
Ref optional_attr(PyObject* obj, const char* name);

Ref str(const char* utf8);
Ref integer(long long value);
Ref tuple(std::initializer_list<PyObject*> items);
Ref list(std::initializer_list<PyObject*> items);
Ref new_dict();
Ref none();

}  // namespace kaplet
