// Extension files found in a package directory, and the legacy
// find_module/load_module protocol.
#include "error.h"
#include "finder.h"
#include "loader_services.h"

namespace kaplet {

bool search_extension(PyObject*) { return false; }

PyObject* installed_extension(PyObject*) { return nullptr; }

Ref load_extension(PyObject*, PyObject* fullname) {
    raise(PyExc_ImportError, "no extension file for %S", fullname);
}

PyObject* finder_find_module(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        static const char* keywords[] = {"fullname", "unused", nullptr};
        PyObject *fullname, *unused = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:find_module", const_cast<char**>(keywords), &fullname,
                                         &unused)) {
            return nullptr;
        }
        if (find_row(fullname) || search_extension(fullname)) {
            return Py_NewRef(reinterpret_cast<PyObject*>(finder_type()));
        }
        Py_RETURN_NONE;
    });
}

PyObject* finder_load_module(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        static const char* keywords[] = {"fullname", "unused", nullptr};
        PyObject *fullname, *unused = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:load_module", const_cast<char**>(keywords), &fullname,
                                         &unused)) {
            return nullptr;
        }
        if (PyObject* path = installed_extension(fullname)) return load_extension(path, fullname).release();
        if (PyObject* existing = PyImport_GetModule(fullname)) return existing;
        if (PyErr_Occurred()) return nullptr;
        ModuleRow* row = find_row(fullname);
        if (row == nullptr) Py_RETURN_NONE;
        Ref module = Ref::steal(PyModule_NewObject(fullname));
        return run_row(*row, module.get()).release();
    });
}

}  // namespace kaplet
