// Extension files found in a package directory of the library, and the
// legacy find_module/load_module protocol.
#include "extensions.h"

#include "builtin_methods.h"
#include "error.h"
#include "extension_loading.h"
#include "finder.h"
#include "paths.h"
#include "standard_modules.h"

#include <utility>
#include <vector>

namespace kaplet {

namespace {

// Full module name to the path of its extension file; created on first use,
// it only grows.
PyObject* g_installed = nullptr;

PyObject* installed_map() {
    if (g_installed == nullptr) g_installed = check(PyDict_New());
    return g_installed;
}

// Position of the last "." in name, or -1.
Py_ssize_t last_dot(PyObject* name) {
    Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), -1);
    if (dot == -2) throw_python_error();
    return dot;
}

// The search path of the package row that holds name, when that package is
// imported and its __path__ is a list.
Ref package_search_path(PyObject* name, Py_ssize_t dot) {
    Ref package_name = Ref::steal(PyUnicode_Substring(name, 0, dot));
    ModuleRow* row = find_row(package_name.get());
    if (row == nullptr || !row->is_package) return {};
    Ref package = Ref::steal_or_null(PyImport_GetModule(package_name.get()));
    if (!package) {
        if (PyErr_Occurred()) throw_python_error();
        return {};
    }
    Ref path = optional_attr(package.get(), "__path__");
    if (!path || !PyList_Check(path.get())) return {};
    return path;
}

// os.listdir(directory), or a null Ref when the directory cannot be listed.
Ref list_directory(PyObject* listdir, PyObject* directory) {
    Ref entries = Ref::steal_or_null(PyObject_CallOneArg(listdir, directory));
    if (!entries) {
        if (!error_matches(PyExc_Exception)) throw_python_error();
        PyErr_Clear();
    }
    return entries;
}

struct Candidate {
    Ref directory;
    Ref entry;
};

// Entries "<last>.*" of the text directories of path, in path and listing order.
std::vector<Candidate> candidates(PyObject* path, PyObject* last) {
    Ref prefix = Ref::steal(PyUnicode_FromFormat("%U.", last));
    Ref listdir = standard_module("os").attr("listdir");
    std::vector<Candidate> found;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(path); ++i) {
        Ref directory = Ref::borrow(PyList_GET_ITEM(path, i));
        if (!PyUnicode_Check(directory.get())) continue;
        Ref entries = list_directory(listdir.get(), directory.get());
        if (!entries) continue;
        Ref iterator = Ref::steal(PyObject_GetIter(entries.get()));
        while (Ref entry = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
            if (!PyUnicode_Check(entry.get())) continue;
            Py_ssize_t starts = PyUnicode_Tailmatch(entry.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
            check(int(starts));
            if (starts) found.push_back({directory, std::move(entry)});
        }
        if (PyErr_Occurred()) throw_python_error();
    }
    return found;
}

}  // namespace

bool search_extension(PyObject* fullname) {
    if (!PyUnicode_Check(fullname)) return false;
    Py_ssize_t dot = last_dot(fullname);
    if (dot < 0) return false;
    Ref path = package_search_path(fullname, dot);
    if (!path) return false;
    Ref last = Ref::steal(PyUnicode_Substring(fullname, dot + 1, PyUnicode_GET_LENGTH(fullname)));
    std::vector<Candidate> found = candidates(path.get(), last.get());
    if (found.empty()) return false;

    Ref suffixes = standard_module("importlib.machinery").attr("EXTENSION_SUFFIXES");
    Ref iterator = Ref::steal(PyObject_GetIter(suffixes.get()));
    bool matched = false;
    while (Ref suffix = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
        Ref wanted = Ref::steal(PyUnicode_Concat(last.get(), suffix.get()));
        for (const Candidate& candidate : found) {
            int equal = PyUnicode_Compare(candidate.entry.get(), wanted.get());
            if (equal == -1 && PyErr_Occurred()) throw_python_error();
            if (equal != 0) continue;
            Ref file = join_path_object(candidate.directory.get(), candidate.entry.get());
            check(PyDict_SetItem(installed_map(), fullname, file.get()));
            matched = true;
            break;
        }
    }
    if (PyErr_Occurred()) throw_python_error();
    return matched;
}

Ref installed_extension(PyObject* fullname) {
    if (g_installed == nullptr) return {};
    Ref path = Ref::borrow_or_null(PyDict_GetItemWithError(g_installed, fullname));
    if (!path && PyErr_Occurred()) throw_python_error();
    return path;
}

namespace {

Ref find_module(Args& a) {
    PyObject* fullname = a[0];
    if (find_row(fullname) || search_extension(fullname)) return Ref::borrow(reinterpret_cast<PyObject*>(finder_type()));
    return none();
}

Ref load_module(Args& a) {
    PyObject* fullname = a[0];
    if (Ref path = installed_extension(fullname)) return load_extension(path.get(), fullname);
    if (Ref existing = Ref::steal_or_null(PyImport_GetModule(fullname))) return existing;
    if (PyErr_Occurred()) throw_python_error();
    ModuleRow* row = find_row(fullname);
    if (row == nullptr) return none();
    Ref module = Ref::steal(PyModule_NewObject(fullname));
    return run_row(*row, module.get());
}

constexpr Param kFullnameUnused[] = {{"fullname"}, {"unused"}};

}  // namespace

extern const MethodDef kFindModule{{"find_module", kFullnameUnused, find_module}, 1};
extern const MethodDef kLoadModule{{"load_module", kFullnameUnused, load_module}, 1};

}  // namespace kaplet
