#include "entry.h"

#include "coroutine.h"
#include "error.h"
#include "finder.h"
#include "function.h"
#include "module_table.h"

#include <cstring>
#include <string>

namespace kaplet {

namespace {

// The __file__/__spec__ guard. After the entry returns, the interpreter's
// extension loader writes the library path into the package's __file__ and
// then assigns its own spec to __spec__; the guard, sitting in the module
// type's setattr slot until that assignment, undoes the first and drops the
// second. It acts on the package module only.
struct Guard {
    setattrofunc saved = nullptr;
    PyObject* module = nullptr;  // strong while armed
    PyObject* file = nullptr;    // strong while armed
};
Guard g_guard;

void disarm() {
    PyModule_Type.tp_setattro = g_guard.saved;
    Py_CLEAR(g_guard.module);
    Py_CLEAR(g_guard.file);
}

int guarded_setattro(PyObject* obj, PyObject* name, PyObject* value) {
    setattrofunc saved = g_guard.saved;
    if (obj != g_guard.module) return saved(obj, name, value);
    if (g_guard.file) {
        PyObject* dict = PyModule_GetDict(obj);
        if (dict && PyDict_SetItemString(dict, "__file__", g_guard.file) < 0) {
            disarm();
            return -1;
        }
    }
    disarm();
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__spec__") == 0) return 0;
    return saved(obj, name, value);
}

void arm_guard(PyObject* module) {
    if (g_guard.module) disarm();
    g_guard.saved = PyModule_Type.tp_setattro;
    g_guard.module = Py_NewRef(module);
    PyObject* file = PyDict_GetItemString(PyModule_GetDict(module), "__file__");
    g_guard.file = Py_XNewRef(file);
    PyModule_Type.tp_setattro = guarded_setattro;
}

// The module definition needs a name that outlives the entry.
const char* full_name_for(const char* library_name) {
    const char* context = _Py_PackageContext;
    if (context == nullptr || std::strcmp(context, library_name) == 0) return library_name;
    static std::string copy;
    copy = context;
    return copy.c_str();
}

PyModuleDef g_definition = {PyModuleDef_HEAD_INIT, nullptr, nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyObject* library_entry() noexcept {
    return boundary([&]() -> PyObject* {
        LibraryDefinition& library = this_library();
        // The library's process-wide state (types, caches, the finder's table)
        // belongs to the main interpreter; refused before any of it is touched.
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            raise(PyExc_ImportError, "%s does not support sub-interpreters", library.name);
        }
        const char* full_name = full_name_for(library.name);
        g_definition.m_name = full_name;
        Ref module = Ref::steal(PyModule_Create2(&g_definition, 1013));
        Ref modules = Ref::borrow(PyImport_GetModuleDict());
        try {
            if (!ready_function_type() || coroutine_type() == nullptr) throw_python_error();
            install_finder_once();
            ModuleRow& row = library.rows.front();
            // As for a Python package, the module enters sys.modules with its
            // __path__ and a spec marked as initialising: a thread importing it
            // (or a submodule) meanwhile waits on the import lock instead of
            // finding a module that is not a package yet.
            run_prologue(module.get(), row);
            check(PyDict_SetItemString(modules.get(), full_name, module.get()));
            run_body(module.get(), row.code_name, row.body);
            finish_initializing(module.get());
        } catch (...) {
            SavedError error = SavedError::fetch();
            if (PyDict_DelItemString(modules.get(), full_name) < 0) PyErr_Clear();
            error.restore();
            throw;
        }
        arm_guard(module.get());
        return module.release();
    });
}

}  // namespace kaplet
