#include "ref.h"

#include <vector>

namespace kaplet {

Ref Ref::item(const char* key) const {
    Ref k = str(key);
    return item(k.get());
}

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
            std::initializer_list<Keyword> keywords) {
    std::vector<PyObject*> argv;
    argv.reserve(1 + positional.size() + keywords.size());
    argv.push_back(nullptr);
    argv.insert(argv.end(), positional.begin(), positional.end());
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const Keyword& kw : keywords) {
        PyTuple_SET_ITEM(names.get(), i++, Ref::steal(PyUnicode_InternFromString(kw.name)).release());
        argv.push_back(kw.value);
    }
    return Ref::steal(PyObject_Vectorcall(
        callable, argv.data() + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
        keywords.size() ? names.get() : nullptr));
}

Ref call_star(PyObject* callable, PyObject* args_tuple, PyObject* kwargs_dict) {
    Ref empty;
    if (args_tuple == nullptr) {
        empty = Ref::steal(PyTuple_New(0));
        args_tuple = empty.get();
    }
    return Ref::steal(PyObject_Call(callable, args_tuple, kwargs_dict));
}

Ref dict_item(PyObject* dict, PyObject* key) {
    Ref value = Ref::borrow_or_null(PyDict_GetItemWithError(dict, key));
    if (!value && PyErr_Occurred()) throw_python_error();
    return value;
}

Ref optional_attr(PyObject* obj, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    PyObject* value = nullptr;
    if (_PyObject_LookupAttr(obj, key.get(), &value) < 0) throw_python_error();
    return Ref::steal_or_null(value);
}

Ref str(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }
Ref integer(long long value) { return Ref::steal(PyLong_FromLongLong(value)); }

Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        PyTuple_SET_ITEM(t.get(), i++, Ref::borrow(item).release());
    }
    return t;
}

Ref list(std::initializer_list<PyObject*> items) {
    Ref l = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        PyList_SET_ITEM(l.get(), i++, Ref::borrow(item).release());
    }
    return l;
}

Ref new_dict() { return Ref::steal(PyDict_New()); }
Ref none() { return Ref::borrow(Py_None); }

}  // namespace kaplet
