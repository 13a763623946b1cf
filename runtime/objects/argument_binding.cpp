#include "argument_binding.h"

#include "error.h"

namespace kaplet {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter words it.
[[noreturn]] void raise_missing(FunctionObject* f, const char* kind, const Py_ssize_t* indices, Py_ssize_t count,
                                const Args& args) {
    Ref names = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!args.has(std::size_t(indices[i]))) {
            Ref name = str(f->def->params[indices[i]].name);
            check(PyList_Append(names.get(), Ref::steal(PyObject_Repr(name.get())).get()));
        }
    }
    Py_ssize_t len = PyList_GET_SIZE(names.get());
    Ref text;
    if (len == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (len == 2) {
        text = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                               PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), len - 2),
                                                   PyList_GET_ITEM(names.get(), len - 1)));
        check(PyList_SetSlice(names.get(), len - 2, len, nullptr));
        Ref comma = str(", ");
        Ref head = Ref::steal(PyUnicode_Join(comma.get(), names.get()));
        text = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    raise(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", own(f->qualname), int(len), kind,
          len == 1 ? "" : "s", text.get());
}

[[noreturn]] void raise_too_many_positional(FunctionObject* f, const ParamLayout& layout, Py_ssize_t given,
                                            const Args& args) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = 0; i < layout.keyword_only_count; ++i) {
        if (args.has(std::size_t(layout.keyword_only[i]))) ++kwonly_given;
    }
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Py_ssize_t argcount = layout.positional_count;
    bool plural;
    Ref sig;
    if (defcount) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    } else {
        plural = argcount != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", argcount));
    }
    Ref kwonly_sig;
    if (kwonly_given) {
        kwonly_sig = Ref::steal(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                     given != 1 ? "s" : "", kwonly_given,
                                                     kwonly_given != 1 ? "s" : ""));
    } else {
        kwonly_sig = str("");
    }
    raise(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", own(f->qualname), sig.get(),
          plural ? "s" : "", given, kwonly_sig.get(), given == 1 && !kwonly_given ? "was" : "were");
}

Py_ssize_t find_keyword(const FunctionDef& def, const ParamLayout& layout, PyObject* key) {
    auto matches = [&](Py_ssize_t index) {
        return PyUnicode_CompareWithASCIIString(key, def.params[index].name) == 0;
    };
    for (Py_ssize_t i = 0; i < layout.positional_count; ++i) {
        if (matches(layout.positional[i])) return layout.positional[i];
    }
    for (Py_ssize_t i = 0; i < layout.keyword_only_count; ++i) {
        if (matches(layout.keyword_only[i])) return layout.keyword_only[i];
    }
    return -1;
}

// Binds a vectorcall's arguments in the interpreter's order of checks.
void bind_arguments(FunctionObject* f, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames, Args& args) {
    const FunctionDef& def = *f->def;
    ParamLayout layout(def);
    Py_ssize_t npos = layout.positional_count;
    Py_ssize_t n = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < n; ++i) args.set(std::size_t(layout.positional[i]), Ref::borrow(argv[i]));
    if (layout.var_args >= 0) {
        Py_ssize_t extra = nargs > npos ? nargs - npos : 0;
        Ref rest = Ref::steal(PyTuple_New(extra));
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyTuple_SET_ITEM(rest.get(), i, Ref::borrow(argv[npos + i]).release());
        }
        args.set(std::size_t(layout.var_args), std::move(rest));
    }
    Ref kwdict;
    if (layout.var_keywords >= 0) {
        kwdict = new_dict();
        args.set(std::size_t(layout.var_keywords), Ref(kwdict));
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        PyObject* value = argv[nargs + j];
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%U() keywords must be strings", own(f->qualname));
        Py_ssize_t index = find_keyword(def, layout, key);
        if (index < 0) {
            if (!kwdict) {
                raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", own(f->qualname), key);
            }
            check(PyDict_SetItem(kwdict.get(), key, value));
            continue;
        }
        if (args.has(std::size_t(index))) {
            raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", own(f->qualname), key);
        }
        args.set(std::size_t(index), Ref::borrow(value));
    }
    if (nargs > npos && layout.var_args < 0) raise_too_many_positional(f, layout, nargs, args);
    if (nargs < npos) {
        Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        Py_ssize_t required = npos - defcount;
        for (Py_ssize_t i = nargs; i < required; ++i) {
            if (!args.has(std::size_t(layout.positional[i]))) {
                raise_missing(f, "positional", layout.positional, required, args);
            }
        }
        for (Py_ssize_t i = nargs > required ? nargs - required : 0; i < defcount; ++i) {
            std::size_t slot = std::size_t(layout.positional[required + i]);
            if (!args.has(slot)) args.set(slot, Ref::borrow(PyTuple_GET_ITEM(f->defaults, i)));
        }
    }
    bool missing_kwonly = false;
    for (Py_ssize_t i = 0; i < layout.keyword_only_count; ++i) {
        std::size_t slot = std::size_t(layout.keyword_only[i]);
        if (args.has(slot)) continue;
        if (f->kwdefaults) {
            Ref kwdefaults = Ref::borrow(f->kwdefaults);  // the lookup allocates its key
            PyObject* value = PyDict_GetItemString(kwdefaults.get(), def.params[slot].name);
            if (value) {
                args.set(slot, Ref::borrow(value));
                continue;
            }
        }
        missing_kwonly = true;
    }
    if (missing_kwonly) {
        raise_missing(f, "keyword-only", layout.keyword_only, layout.keyword_only_count, args);
    }
}

}  // namespace

bool bind_general(FunctionObject* f, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames, Args& args) noexcept {
    return boundary([&] {
        bind_arguments(f, argv, nargs, kwnames, args);
        return 0;
    }) == 0;
}

}  // namespace kaplet
