#include "module_context.h"

#include "error.h"
#include "imports.h"
#include "traceback.h"

namespace kaplet {

Module::Module(PyObject* module, const char* code_name)
    : module_(Ref::borrow(module)), dict_(check(PyModule_GetDict(module))), code_name_(code_name) {}

void Module::bind(const char* name, const Ref& value) const {
    check(PyDict_SetItemString(dict_, name, value.get()));
}

Ref Module::lookup(const char* name) const {
    if (PyObject* v = PyDict_GetItemString(dict_, name)) return Ref::borrow(v);
    Ref builtins = Ref::borrow(builtins_of(dict_));  // the lookup below allocates
    if (PyObject* v = PyDict_GetItemString(builtins.get(), name)) return Ref::borrow(v);
    raise(PyExc_NameError, "name '%s' is not defined", name);
}

Ref Module::def(const FunctionDef& def, DefParts parts) const {
    Ref qualname = str(def.name);
    Ref f = make_function(def, qualname.get(), dict_, nullptr, std::move(parts));
    bind(def.name, f);
    return f;
}

void run_body(PyObject* module, const char* code_name, ModuleBody body) {
    Module m(module, code_name);
    try {
        body(m);
    } catch (...) {
        set_error_from_current_exception();
        add_traceback_entry(m.dict(), code_name, m.current_line());
        throw_python_error();
    }
}

}  // namespace kaplet
