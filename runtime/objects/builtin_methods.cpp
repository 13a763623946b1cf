#include "builtin_methods.h"

namespace kaplet {

// The order of checks and the texts of the interpreter's keyword-argument
// parser (Python/getargs.c, vgetargskeywords) for parameters that are all
// positional-or-keyword, the first `required` of them required.
void bind_method_call(const MethodDef& m, PyObject* self, PyObject* args, PyObject* kwargs, Args& out) {
    const std::size_t first = m.takes_self ? 1 : 0;
    if (m.takes_self) out.set(0, Ref::borrow(self));
    const char* name = m.def.name;
    const Py_ssize_t count = Py_ssize_t(m.def.param_count - first);
    const Py_ssize_t required = Py_ssize_t(m.required);
    auto keyword = [&](Py_ssize_t i) { return m.def.params[first + std::size_t(i)].name; };
    Ref positional = Ref::borrow_or_null(args);
    Ref keywords = Ref::borrow_or_null(kwargs);
    const Py_ssize_t nargs = positional ? PyTuple_GET_SIZE(positional.get()) : 0;
    Py_ssize_t nkwargs = keywords ? PyDict_GET_SIZE(keywords.get()) : 0;
    if (nargs + nkwargs > count) {
        raise(PyExc_TypeError, "%.200s() takes at most %zd %sargument%s (%zd given)", name, count,
              nargs == 0 ? "keyword " : "", count == 1 ? "" : "s", nargs + nkwargs);
    }
    auto keyword_value = [&](Py_ssize_t i) {
        Ref key = str(keyword(i));
        Ref value = Ref::borrow_or_null(PyDict_GetItemWithError(keywords.get(), key.get()));
        if (!value && PyErr_Occurred()) throw_python_error();
        return value;
    };
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref value;
        if (i < nargs) {
            value = Ref::borrow(PyTuple_GET_ITEM(positional.get(), i));
        } else if (nkwargs) {
            value = keyword_value(i);
            if (value) --nkwargs;
        }
        if (value) {
            out.set(first + std::size_t(i), std::move(value));
            continue;
        }
        if (i < required) {
            raise(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zd)", name, keyword(i), i + 1);
        }
        if (!nkwargs) return;
    }
    if (nkwargs == 0) return;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (keyword_value(i)) {
            raise(PyExc_TypeError, "argument for %.200s() given by name ('%s') and position (%zd)", name, keyword(i),
                  i + 1);
        }
    }
    PyObject* key;
    Py_ssize_t position = 0;
    while (PyDict_Next(keywords.get(), &position, &key, nullptr)) {
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
        bool known = false;
        for (Py_ssize_t i = 0; i < count && !known; ++i) known = PyUnicode_CompareWithASCIIString(key, keyword(i)) == 0;
        if (!known) raise(PyExc_TypeError, "'%U' is an invalid keyword argument for %.200s()", key, name);
    }
}

}  // namespace kaplet
