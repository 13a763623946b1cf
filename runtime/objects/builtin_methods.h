// Methods of the types the runtime makes (the finder, the resource reader
// and its files). Their parameters are a FunctionDef's table and their
// bodies read an Args, as native functions do; to Python they are built-in
// methods (METH_VARARGS | METH_KEYWORDS), so a call binds as the interpreter
// binds a built-in's arguments, with its messages.
#pragma once

#include "error.h"
#include "function.h"
#include "method_def.h"

namespace kaplet {

struct MethodDef {
    FunctionDef def;        // a method called on an instance lists "self" first
    std::size_t required;   // how many parameters after self a call must give
    bool takes_self = false;
};

// Binds a call's positional tuple and keyword dict (either may be null) to
// m's parameters; a parameter not given stays empty.
void bind_method_call(const MethodDef& m, PyObject* self, PyObject* args, PyObject* kwargs, Args& out);

template <const MethodDef& m>
PyObject* call_method_def(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary([&]() -> PyObject* {
        Args a(Py_None, m.def.param_count);
        bind_method_call(m, self, args, kwargs, a);
        return m.def.impl(a).release();
    });
}

// The PyMethodDef row of m.
template <const MethodDef& m>
constexpr PyMethodDef method_row(int flags = METH_VARARGS | METH_KEYWORDS) {
    return {m.def.name, as_cfunction(call_method_def<m>), flags, nullptr};
}

}  // namespace kaplet
