// Loading an extension file as a module: the operating system's load, the
// initialisation function, and the single-phase and multi-phase results.
#include "extension_loading.h"

#include "error.h"
#include "extensions.h"
#include "finder.h"
#include "paths.h"
#include "platform.h"
#include "standard_modules.h"

#include <string>

namespace kaplet {

namespace {

using InitFunction = PyObject* (*)();

// Releases the interpreter lock for the lifetime of the object.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

// "PyInit_<last>", or "PyInitU_<punycode of last>" for a non-ASCII name (with
// "-" written as "_", as the interpreter's own extension loader does).
std::string init_symbol(PyObject* last) {
    if (PyUnicode_IS_ASCII(last)) return std::string("PyInit_") + PyUnicode_AsUTF8(last);
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(last, "punycode", nullptr));
    std::string name(PyBytes_AS_STRING(encoded.get()), std::size_t(PyBytes_GET_SIZE(encoded.get())));
    for (char& c : name) {
        if (c == '-') c = '_';
    }
    return "PyInitU_" + name;
}

// The interpreter's dlopen flags (0 where the interpreter has none).
int dlopen_flags() {
    Ref get = optional_attr(standard_module("sys").get(), "getdlopenflags");
    if (!get) return 0;
    Ref flags = get();
    long value = PyLong_AsLong(flags.get());
    if (value == -1 && PyErr_Occurred()) throw_python_error();
    return int(value);
}

void* load_library(PyObject* path, PyObject* name) {
    std::string file = fs_path(path);
    int flags = dlopen_flags();
    platform::LoadResult result;
    {
        WithoutInterpreterLock unlocked;
        result = platform::load_library(file, flags);
    }
    if (result.handle) return result.handle;
    Ref message;
    if (result.error_text.empty()) {
        message = Ref::steal(
            PyUnicode_FromFormat("LoadLibraryExW '%S' failed with error code %lu", path, result.error_code));
    } else {
        Ref text = Ref::steal(PyUnicode_DecodeLocale(result.error_text.c_str(), "surrogateescape"));
        message = Ref::steal(PyUnicode_FromFormat("LoadLibraryExW '%S' failed: %U", path, text.get()));
    }
    PyErr_SetImportError(message.get(), name, path);
    throw_python_error();
}

// Calls the initialisation function with the package context set to the
// full name when it is dotted; returns its result as given (which may be a
// borrowed module definition).
PyObject* call_init(InitFunction init, PyObject* name, bool dotted) {
    const char* context = nullptr;
    if (dotted && (context = PyUnicode_AsUTF8(name)) == nullptr) throw_python_error();
    const char* saved = _Py_PackageContext;
    _Py_PackageContext = context;
    PyObject* result = init();
    _Py_PackageContext = saved;
    return result;
}

void set_file_unless_present(const Ref& module, PyObject* path) {
    Ref file = optional_attr(module.get(), "__file__");
    if (!file || file.get() == Py_None) module.set_attr("__file__", path);
}

Ref single_phase(Ref module, PyObject* name, PyObject* path, Py_ssize_t dot, InitFunction init) {
    set_file_unless_present(module, path);
    Ref file = module.attr("__file__");
    Ref spec = module_spec(name, {{"origin", file}, {"is_package", Py_False}});
    module.set_attr("__spec__", spec.get());
    if (dot >= 0) {
        Ref package = optional_attr(module.get(), "__package__");
        if (!package || package.get() == Py_None) {
            Ref parent = Ref::steal(PyUnicode_Substring(name, 0, dot));
            module.set_attr("__package__", parent.get());
        }
    }
    if (PyModuleDef* definition = PyModule_GetDef(module.get())) definition->m_base.m_init = init;
    check(_PyImport_FixupExtensionObject(module.get(), name, path, PyImport_GetModuleDict()));
    return module;
}

Ref multi_phase(PyModuleDef* definition, PyObject* name, PyObject* path) {
    Ref spec = module_spec(name, {{"origin", path}, {"is_package", Py_False}});
    PyObject* created = PyModule_FromDefAndSpec2(definition, spec.get(), 1013);
    if (created == nullptr) {
        if (!PyErr_Occurred()) raise(PyExc_SystemError, "dynamic module '%U' not initialized properly from def", name);
        throw_python_error();
    }
    Ref module = Ref::steal(created);
    module.set_attr("__spec__", spec.get());
    set_file_unless_present(module, path);
    Ref search = list({path});
    module.set_attr("__path__", search.get());

    spec.set_attr("_initializing", Py_True);
    int executed = PyModule_ExecDef(module.get(), definition);
    SavedError error = executed < 0 ? SavedError::fetch() : SavedError();
    if (PyObject_SetAttrString(spec.get(), "_initializing", Py_False) < 0) {
        if (!error) throw_python_error();
        PyErr_Clear();
    }
    if (error) error.rethrow();
    // The import system takes the module from sys.modules once exec_module returns.
    check(PyDict_SetItem(PyImport_GetModuleDict(), name, module.get()));
    return module;
}

}  // namespace

Ref load_extension(PyObject* path_arg, PyObject* fullname) {
    Ref path = Ref::borrow(path_arg);
    Ref name = Ref::borrow(fullname);
    if (!PyUnicode_Check(name.get())) raise(PyExc_TypeError, "module name must be str, not %.200s", Py_TYPE(fullname)->tp_name);
    Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    Py_ssize_t dot = PyUnicode_FindChar(name.get(), '.', 0, length, -1);
    if (dot == -2) throw_python_error();
    Ref last = Ref::steal(PyUnicode_Substring(name.get(), dot + 1, length));
    std::string symbol = init_symbol(last.get());

    void* library = load_library(path.get(), name.get());
    auto init = reinterpret_cast<InitFunction>(platform::find_symbol(library, symbol.c_str()));
    if (init == nullptr) {
        Ref message = Ref::steal(
            PyUnicode_FromFormat("dynamic module does not define module export function (%s)", symbol.c_str()));
        PyErr_SetImportError(message.get(), name.get(), path.get());
        throw_python_error();
    }

    PyObject* result = call_init(init, name.get(), dot >= 0);
    if (result == nullptr) {
        if (!PyErr_Occurred()) raise(PyExc_SystemError, "dynamic module '%U' not initialized properly", name.get());
        throw_python_error();
    }
    if (PyErr_Occurred()) {
        // The definition a multi-phase function returns is not a new reference.
        if (!PyObject_TypeCheck(result, &PyModuleDef_Type)) Py_DECREF(result);
        _PyErr_FormatFromCause(PyExc_SystemError, "initialization of %U raised unreported exception", last.get());
        throw_python_error();
    }
    if (PyObject_TypeCheck(result, &PyModuleDef_Type)) {
        return multi_phase(reinterpret_cast<PyModuleDef*>(result), name.get(), path.get());
    }
    Ref module = Ref::steal(result);
    if (!PyModule_Check(module.get())) {
        raise(PyExc_SystemError, "initialization of %U did not return an extension module", last.get());
    }
    return single_phase(std::move(module), name.get(), path.get(), dot, init);
}

}  // namespace kaplet
