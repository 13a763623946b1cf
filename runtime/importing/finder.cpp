#include "finder.h"

#include "distributions.h"
#include "builtin_methods.h"
#include "error.h"
#include "extension_loading.h"
#include "extensions.h"
#include "method_def.h"
#include "paths.h"
#include "resources.h"
#include "standard_modules.h"
#include "whole_file.h"

#include <cstring>

namespace kaplet {

static void run_prologue_and_body(PyObject* module, const ModuleRow& row);

namespace {

struct FinderObject {
    PyObject_HEAD
    ModuleRow* row;
};

PyTypeObject* g_finder_type = nullptr;

// What get_code hands to runpy for `python -m`: it only enters native code,
// which runs the row's prologue and body in the namespace runpy made.
constexpr const char kMainTrampoline[] = "__loader__._run_as_main(__spec__.name, globals())\n";

PyObject* finder_type_object() { return reinterpret_cast<PyObject*>(g_finder_type); }

Ref find_spec(Args& a) {
    PyObject* fullname = a[0];
    if (ModuleRow* row = find_row(fullname)) {
        Ref origin = path_string(file_value(*row));
        return module_spec(fullname, {{"origin", origin}, {"is_package", row->is_package ? Py_True : Py_False}});
    }
    if (search_extension(fullname)) return module_spec(fullname, {{"is_package", Py_False}});
    return none();
}

Ref create_module(Args& a) {
    Ref name = a.ref(0).attr("name");
    // As module(name) would; PyModule_NewObject takes any object as the name.
    if (!PyUnicode_Check(name.get())) {
        raise(PyExc_TypeError, "module() argument 'name' must be str, not %.200s", Py_TYPE(name.get())->tp_name);
    }
    return Ref::steal(PyModule_NewObject(name.get()));
}

Ref exec_module(Args& a) {
    const Ref& module = a.ref(0);
    Ref name = module.attr("__name__");
    if (Ref path = installed_extension(name.get())) {
        if (PyObject_SetAttrString(module.get(), "__file__", path.get()) < 0) PyErr_Clear();
        return load_extension(path.get(), name.get());
    }
    if (ModuleRow* row = find_row(name.get())) return run_row(*row, module.get());
    return none();
}

Ref is_package(Args& a) {
    ModuleRow* row = find_row(a[0]);
    if (row == nullptr) return none();
    return Ref::steal(PyBool_FromLong(row->is_package));
}

Ref iter_modules(Args& a) {
    PyObject* prefix = a[1];
    ModuleRow* bound = reinterpret_cast<FinderObject*>(a[0])->row;
    std::string parent = bound ? bound->name : std::string();
    bool use_prefix = prefix && PyUnicode_Check(prefix) && PyUnicode_GET_LENGTH(prefix) > 0;
    Ref result = Ref::steal(PyList_New(0));
    for (const ModuleRow& row : this_library().rows) {
        const std::string& name = row.name;
        if (name.size() <= parent.size() || name.compare(0, parent.size(), parent) != 0) continue;
        if (name == "__main__") continue;
        std::size_t rest = parent.empty() ? 0 : parent.size() + 1;
        if (rest > name.size() || name.find('.', rest) != std::string::npos) continue;
        Ref listed = str(name.substr(rest).c_str());
        if (use_prefix) listed = Ref::steal(PyUnicode_Concat(prefix, listed.get()));
        Ref item = tuple({listed.get(), row.is_package ? Py_True : Py_False});
        check(PyList_Append(result.get(), item.get()));
    }
    return result;
}

Ref get_data(Args& a) { return read_whole_file(a[0], "rb", 0); }

Ref module_repr(Args& a) {
    Ref name = Ref::steal(PyModule_GetNameObject(a[0]));
    Ref file = Ref::steal_or_null(PyModule_GetFilenameObject(a[0]));
    if (!file) {
        PyErr_Clear();
        file = str("unknown location");
    }
    return Ref::steal(PyUnicode_FromFormat("<module '%U' from %R>", name.get(), file.get()));
}

Ref sys_path_hook(Args& a) {
    Ref abspath = standard_module("os").attr("path").attr("abspath");
    Ref wanted = abspath(a.ref(0));
    for (ModuleRow& row : this_library().rows) {
        if (!row.is_package) continue;
        Ref directory = path_string(module_directory(row));
        Ref candidate = abspath(directory);
        int equal = PyObject_RichCompareBool(candidate.get(), wanted.get(), Py_EQ);
        check(equal);
        if (equal) return make_finder(&row);
    }
    raise_object(PyExc_ImportError, nullptr);
}

Ref get_code(Args& a) {
    ModuleRow* row = find_row(a[0]);
    if (row == nullptr) return none();
    Ref filename = path_string(file_value(*row));
    return Ref::steal(Py_CompileStringObject(kMainTrampoline, filename.get(), Py_file_input, nullptr, -1));
}

// Runs the row named fullname in the namespace globals. That is the
// dictionary of a module in sys.modules (the __main__ module for `-m`); a
// plain dictionary (runpy.run_module without alter_sys) gets a module of its
// own, whose names are copied back into it, also when the body fails.
Ref run_as_main(Args& a) {
    PyObject* fullname = a[0];
    PyObject* globals = a[1];
    if (!PyDict_Check(globals)) {
        raise(PyExc_TypeError, "_run_as_main() argument 2 must be dict, not %.50s",
              globals == Py_None ? "None" : Py_TYPE(globals)->tp_name);
    }
    ModuleRow* row = find_row(fullname);
    if (row == nullptr) raise(PyExc_ImportError, "no module named %R in this library", fullname);
    Ref name = Ref::borrow_or_null(PyDict_GetItemWithError(globals, Ref::steal(PyUnicode_InternFromString("__name__")).get()));
    if (!name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, "__name__");
        throw_python_error();
    }
    Ref module = Ref::steal_or_null(PyImport_GetModule(name.get()));
    if (PyErr_Occurred()) throw_python_error();
    if (module && PyModule_Check(module.get()) && PyModule_GetDict(module.get()) == globals) {
        run_prologue_and_body(module.get(), *row);
        return none();
    }
    Ref own = Ref::steal(PyModule_NewObject(name.get()));
    PyObject* own_globals = PyModule_GetDict(own.get());
    check(PyDict_Update(own_globals, globals));
    try {
        run_prologue_and_body(own.get(), *row);
    } catch (const PythonError&) {
        SavedError error = SavedError::fetch();
        check(PyDict_Update(globals, own_globals));
        error.rethrow();
    }
    check(PyDict_Update(globals, own_globals));
    return none();
}

constexpr Param kFullname[] = {{"fullname"}};
constexpr Param kFindSpecParams[] = {{"fullname"}, {"is_package"}, {"path"}};
constexpr Param kSpec[] = {{"spec"}};
constexpr Param kModule[] = {{"module"}};
constexpr Param kIterModulesParams[] = {{"self"}, {"package"}};
constexpr Param kFilename[] = {{"filename"}};
constexpr Param kModuleReprParams[] = {{"fullname"}, {"unused"}};
constexpr Param kPath[] = {{"path"}};
constexpr Param kRunAsMainParams[] = {{"fullname"}, {"globals"}};

constexpr MethodDef kFindSpec{{"find_spec", kFindSpecParams, find_spec}, 1};
constexpr MethodDef kCreateModule{{"create_module", kSpec, create_module}, 1};
constexpr MethodDef kExecModule{{"exec_module", kModule, exec_module}, 1};
constexpr MethodDef kIsPackage{{"is_package", kFullname, is_package}, 1};
constexpr MethodDef kIterModules{{"iter_modules", kIterModulesParams, iter_modules}, 0, true};
constexpr MethodDef kGetData{{"get_data", kFilename, get_data}, 1};
constexpr MethodDef kModuleRepr{{"module_repr", kModuleReprParams, module_repr}, 1};
constexpr MethodDef kSysPathHook{{"sys_path_hook", kPath, sys_path_hook}, 1};
constexpr MethodDef kGetCode{{"get_code", kFullname, get_code}, 1};
constexpr MethodDef kRunAsMain{{"_run_as_main", kRunAsMainParams, run_as_main}, 2};

PyObject* finder_repr(PyObject* self) {
    ModuleRow* row = reinterpret_cast<FinderObject*>(self)->row;
    if (row == nullptr) return PyUnicode_FromString("<kaplet_module_loader>");
    return PyUnicode_FromFormat("<kaplet_module_loader for '%s'>", row->name.c_str());
}

void finder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr int kStatic = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

PyMethodDef finder_methods[] = {
    method_row<kFindSpec>(kStatic),
    method_row<kCreateModule>(kStatic),
    method_row<kExecModule>(kStatic),
    method_row<kIsPackage>(kStatic),
    method_row<kIterModules>(),
    method_row<kGetData>(kStatic),
    method_row<kModuleRepr>(kStatic),
    method_row<kFindModule>(kStatic),
    method_row<kLoadModule>(kStatic),
    method_row<kGetResourceReader>(kStatic),
    method_row<kFindDistributions>(kStatic),
    method_row<kSysPathHook>(kStatic),
    method_row<kGetCode>(kStatic),
    method_row<kRunAsMain>(kStatic),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot finder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(finder_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(finder_repr)},
    {Py_tp_methods, finder_methods},
    {0, nullptr},
};

PyType_Spec finder_spec = {
    "__kaplet__.kaplet_module_loader",
    sizeof(FinderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    finder_slots,
};

}  // namespace

bool ready_finder_type() {
    if (g_finder_type) return true;
    g_finder_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&finder_spec));
    return g_finder_type != nullptr;
}

PyTypeObject* finder_type() { return g_finder_type; }

Ref make_finder(ModuleRow* row) {
    FinderObject* f = PyObject_New(FinderObject, g_finder_type);
    if (f == nullptr) throw_python_error();
    f->row = row;
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

Ref module_spec(PyObject* name, std::initializer_list<Keyword> keywords) {
    Ref spec_class = standard_module("importlib._bootstrap").attr("ModuleSpec");
    return call_kw(spec_class.get(), {name, finder_type_object()}, keywords);
}

void run_prologue(PyObject* module, const ModuleRow& row) {
    PyObject* dict = check(PyModule_GetDict(module));
    Ref name = Ref::borrow(module).attr("__name__");
    // __package__
    if (row.is_package) {
        check(PyDict_SetItemString(dict, "__package__", name.get()));
    } else {
        if (!PyUnicode_Check(name.get())) {
            raise(PyExc_TypeError, "module __name__ must be str, not %.200s", Py_TYPE(name.get())->tp_name);
        }
        Py_ssize_t dot = PyUnicode_FindChar(name.get(), '.', 0, PyUnicode_GET_LENGTH(name.get()), -1);
        if (dot == -2) throw_python_error();
        if (dot >= 0) {
            Ref package = Ref::steal(PyUnicode_Substring(name.get(), 0, dot));
            check(PyDict_SetItemString(dict, "__package__", package.get()));
        }
    }
    if (PyDict_GetItemString(dict, "__builtins__") == nullptr) {
        Ref builtins = standard_module("builtins");
        check(PyDict_SetItemString(dict, "__builtins__", check(PyModule_GetDict(builtins.get()))));
    }
    check(PyDict_SetItemString(dict, "__loader__", finder_type_object()));
    Ref spec = standard_module("importlib._bootstrap").attr("_spec_from_module")(module);
    spec.set_attr("_initializing", Py_True);
    check(PyDict_SetItemString(dict, "__spec__", spec.get()));
    if (row.relative_path == nullptr) return;

    check(PyDict_SetItemString(dict, "__doc__", Py_None));
    Ref file = path_string(join_path(library_directory(), native_path(row.relative_path)));
    check(PyDict_SetItemString(dict, "__file__", file.get()));
    Ref path;
    if (row.is_package) {
        Ref os = standard_module("os");
        Ref directory = os.attr("path").attr("dirname")(file);
        Ref extra = package_environment_entry();
        path = list({directory.get(), extra.get()});
        check(PyDict_SetItemString(dict, "__path__", path.get()));
    }
    spec.set_attr("origin", file.get());
    spec.set_attr("has_location", Py_True);
    if (path) spec.set_attr("submodule_search_locations", path.get());
    check(PyDict_SetItemString(dict, "__cached__", Py_None));
}

void finish_initializing(PyObject* module) {
    Ref spec = Ref::steal_or_null(PyObject_GetAttrString(module, "__spec__"));
    if (!spec) {
        PyErr_Clear();
    } else if (spec.get() != Py_None && PyObject_HasAttrString(spec.get(), "_initializing")) {
        spec.set_attr("_initializing", Py_False);
    }
}

static void run_prologue_and_body(PyObject* module, const ModuleRow& row) {
    run_prologue(module, row);
    run_body(module, row.code_name, row.body);
    finish_initializing(module);
}

Ref run_row(ModuleRow& row, PyObject* module) {
    Ref name = str(row.name.c_str());
    PyObject* modules = PyImport_GetModuleDict();
    check(PyDict_SetItem(modules, name.get(), module));
    run_prologue_and_body(module, row);
    PyObject* result = PyDict_GetItemWithError(modules, name.get());
    if (result == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_KeyError, "%R", name.get());
        throw_python_error();
    }
    return Ref::borrow(result);
}

void install_finder_once() {
    static bool installed = false;
    if (installed) return;
    if (!ready_finder_type()) throw_python_error();
    Ref meta_path = Ref::borrow_or_null(PySys_GetObject("meta_path"));
    Ref path_hooks = Ref::borrow_or_null(PySys_GetObject("path_hooks"));
    if (!meta_path || !PyList_Check(meta_path.get()) || !path_hooks || !PyList_Check(path_hooks.get())) {
        raise(PyExc_ImportError, "sys.meta_path and sys.path_hooks must be lists");
    }
    Ref finder = make_finder(nullptr);
    Ref hook = finder.attr("sys_path_hook");
    // Renaming happens once, after the checks a retried load could fail again.
    apply_nested_loading(_Py_PackageContext);
    Py_ssize_t size = PyList_GET_SIZE(meta_path.get());
    check(PyList_Insert(meta_path.get(), size < 2 ? size : 2, finder.get()));
    installed = true;
    check(PyList_Append(path_hooks.get(), hook.get()));
}

}  // namespace kaplet
