// Binds a call's arguments to a native function's parameters as the
// interpreter binds a def's: the same order of checks, the same messages.
#pragma once

#include "function.h"
#include "function_object.h"

namespace kaplet {

// Where each kind of parameter sits in FunctionDef::params.
struct ParamLayout {
    Py_ssize_t positional[kMaxParams];
    Py_ssize_t positional_count = 0;
    Py_ssize_t keyword_only[kMaxParams];
    Py_ssize_t keyword_only_count = 0;
    Py_ssize_t var_args = -1;
    Py_ssize_t var_keywords = -1;

    explicit ParamLayout(const FunctionDef& def) {
        for (std::size_t i = 0; i < def.param_count; ++i) {
            switch (def.params[i].kind) {
                case ParamKind::Positional: positional[positional_count++] = Py_ssize_t(i); break;
                case ParamKind::KeywordOnly: keyword_only[keyword_only_count++] = Py_ssize_t(i); break;
                case ParamKind::VarArgs: var_args = Py_ssize_t(i); break;
                case ParamKind::VarKeywords: var_keywords = Py_ssize_t(i); break;
            }
        }
    }
};

// The common call: positional arguments only, every parameter
// positional-or-keyword, the missing ones all covered by defaults.
inline bool bind_positional(FunctionObject* f, PyObject* const* argv, Py_ssize_t nargs, Args& args) noexcept {
    const FunctionDef& def = *f->def;
    Py_ssize_t npos = Py_ssize_t(def.param_count);
    if (!def.positional_only_kinds || nargs > npos) return false;
    PyObject* defaults = f->defaults;
    Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    Py_ssize_t first_default = npos - defcount;
    if (nargs < first_default) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) args.set(std::size_t(i), Ref::borrow_or_null(argv[i]));
    for (Py_ssize_t i = nargs; i < npos; ++i) {
        args.set(std::size_t(i), Ref::borrow_or_null(PyTuple_GET_ITEM(defaults, i - first_default)));
    }
    return true;
}

// Any other call; false with the interpreter's error set.
[[gnu::noinline]] bool bind_general(FunctionObject* f, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames,
                                    Args& args) noexcept;

}  // namespace kaplet
