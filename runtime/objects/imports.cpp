// Import statements of module bodies, as the interpreter carries them out.
#include "error.h"
#include "imports.h"
#include "names.h"
#include "module_context.h"
#include "standard_modules.h"

#include <vector>

namespace kaplet {

namespace {

Ref builtin_import(const Module& m, const char* dotted, PyObject* fromlist) {
    return call_import(m.dict(), dotted, fromlist);
}

// One name of a from-import: the attribute, else the submodule, else the
// interpreter's "cannot import name" error.
Ref import_one(PyObject* from, const char* name) {
    PyObject* value = PyObject_GetAttrString(from, name);
    if (value) return Ref::steal(value);
    if (!error_matches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    Ref package_name = Ref::steal_or_null(PyModule_Check(from) ? PyModule_GetNameObject(from) : nullptr);
    PyErr_Clear();
    if (package_name) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%s", package_name.get(), name));
        PyObject* imported = PyImport_Import(full.get());
        if (imported) {
            Py_DECREF(imported);
            PyObject* module = PyImport_GetModule(full.get());
            if (module) return Ref::steal(module);
            if (PyErr_Occurred()) throw_python_error();
        } else if (!error_matches(PyExc_ImportError)) {
            throw_python_error();
        }
        PyErr_Clear();
    }
    Ref shown_name = package_name ? package_name : str("<unknown module name>");
    Ref path = Ref::steal_or_null(PyModule_Check(from) ? PyModule_GetFilenameObject(from) : nullptr);
    PyErr_Clear();
    if (!path) path = str("unknown location");
    Ref attr_name = str(name);
    Ref message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", attr_name.get(),
                                                  shown_name.get(), path.get()));
    PyErr_SetImportError(message.get(), shown_name.get(), path.get());
    throw_python_error();
}

}  // namespace

PyObject* builtins_of(PyObject* globals) {
    PyObject* b = PyDict_GetItemString(globals, "__builtins__");
    if (b && PyModule_Check(b)) b = PyModule_GetDict(b);
    if (b == nullptr || !PyDict_Check(b)) b = PyEval_GetBuiltins();
    return b;
}

Ref call_import(PyObject* globals, PyObject* dotted, PyObject* fromlist) {
    Ref builtins = Ref::borrow(builtins_of(globals));  // held while the lookup compares keys
    Ref import_function = dict_item(builtins.get(), "__import__"_py);
    if (!import_function) raise(PyExc_ImportError, "__import__ not found");
    Ref level = integer(0);
    return import_function(dotted, globals, Py_None, fromlist, level);
}

Ref call_import(PyObject* globals, const char* dotted, PyObject* fromlist) {
    Ref name = str(dotted);
    return call_import(globals, name.get(), fromlist);
}

void Module::import(const char* dotted, const char* as) const {
    Ref top = builtin_import(*this, dotted, Py_None);
    if (as == nullptr) {
        std::string first(dotted);
        first = first.substr(0, first.find('.'));
        bind(first.c_str(), top);
        return;
    }
    // `import a.b.c as x` binds the innermost module, walking attributes.
    Ref module = top;
    std::string rest(dotted);
    std::size_t dot = rest.find('.');
    while (dot != std::string::npos) {
        rest = rest.substr(dot + 1);
        dot = rest.find('.');
        module = module.attr(rest.substr(0, dot).c_str());
    }
    bind(as, module);
}

void Module::import_from(const char* dotted,
                         std::initializer_list<std::pair<const char*, const char*>> names) const {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const auto& n : names) PyTuple_SET_ITEM(fromlist.get(), i++, str(n.first).release());
    Ref from = builtin_import(*this, dotted, fromlist.get());
    for (const auto& n : names) bind(n.second ? n.second : n.first, import_one(from.get(), n.first));
}

void Module::import_from_standard(const char* module, std::initializer_list<const char*> names) const {
    Ref from = standard_module(module);
    for (const char* n : names) bind(n, import_one(from.get(), n));
}

}  // namespace kaplet
