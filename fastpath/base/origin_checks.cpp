#include "origin_checks.h"

#include "error.h"

using kaplet::Ref;

namespace pretrain {

Ref dict_entry(PyObject* dict, const char* name) {
    if (dict == nullptr || !PyDict_CheckExact(dict)) return {};
    if (Fingerprint* recording = Recording::current()) recording->add_dict(dict);
    PyObject* value = PyDict_GetItemString(dict, name);
    return Ref::borrow_or_null(value);
}

Ref loaded_module(const char* name) {
    if (Fingerprint* recording = Recording::current()) recording->add_dict(PyImport_GetModuleDict());
    Ref key = kaplet::str(name);
    Ref module = Ref::steal_or_null(PyImport_GetModule(key.get()));
    if (!module && PyErr_Occurred()) kaplet::throw_python_error();
    if (module && !PyModule_CheckExact(module.get())) return {};
    return module;
}

static Ref unwrap(PyObject* obj) {
    Ref current = Ref::borrow(obj);
    if (Py_IS_TYPE(obj, &PyStaticMethod_Type) || Py_IS_TYPE(obj, &PyClassMethod_Type)) {
        current = Ref::steal_or_null(PyObject_GetAttrString(obj, "__func__"));
    } else if (Py_IS_TYPE(obj, &PyProperty_Type)) {
        current = Ref::steal_or_null(PyObject_GetAttrString(obj, "fget"));
    }
    if (!current) PyErr_Clear();
    return current;
}

static bool same_text(PyObject* a, PyObject* b) {
    return a != nullptr && b != nullptr && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) &&
           PyUnicode_Compare(a, b) == 0;
}

static bool is_separator(Py_UCS4 c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

// A module imported from a .pyc without its source names its code by the
// path the source was compiled under. The standard library of the
// embeddable Windows distribution is compiled relative to its Lib folder and
// zipped: "<archive>\json\decoder.pyc" holds code named "json\decoder.py".
static bool compiled_relative_to(PyObject* file, PyObject* source) {
    if (file == nullptr || source == nullptr || !PyUnicode_CheckExact(file) || !PyUnicode_CheckExact(source)) {
        return false;
    }
    Py_ssize_t file_length = PyUnicode_GET_LENGTH(file), source_length = PyUnicode_GET_LENGTH(source);
    if (source_length < 4 || file_length < source_length + 2) return false;
    if (PyUnicode_READ_CHAR(file, file_length - 1) != 'c') return false;
    if (PyUnicode_READ_CHAR(source, source_length - 3) != '.' || PyUnicode_READ_CHAR(source, source_length - 2) != 'p' ||
        PyUnicode_READ_CHAR(source, source_length - 1) != 'y') {
        return false;
    }
    // Relative: no root, no drive.
    if (is_separator(PyUnicode_READ_CHAR(source, 0))) return false;
    for (Py_ssize_t i = 0; i < source_length; ++i) {
        if (PyUnicode_READ_CHAR(source, i) == ':') return false;
    }
    Py_ssize_t start = file_length - 1 - source_length;
    if (!is_separator(PyUnicode_READ_CHAR(file, start - 1))) return false;
    Ref tail = Ref::steal(PyUnicode_Substring(file, start, file_length - 1));
    return same_text(tail.get(), source);
}

bool defined_in(PyObject* obj, PyObject* module, const char* name) {
    if (obj == nullptr || module == nullptr || !PyModule_CheckExact(module)) return false;
    Ref function = unwrap(obj);
    if (!function || !Py_IS_TYPE(function.get(), &PyFunction_Type)) return false;
    if (Fingerprint* recording = Recording::current()) recording->add_function(function.get());
    PyObject* globals = PyModule_GetDict(module);
    if (PyFunction_GET_GLOBALS(function.get()) != globals) return false;
    Ref code = Ref::borrow(PyFunction_GET_CODE(function.get()));
    auto* co = reinterpret_cast<PyCodeObject*>(code.get());
    Ref expected_name = kaplet::str(name);
    if (!same_text(co->co_name, expected_name.get())) return false;
    // Modules frozen into the interpreter name their code "<frozen NAME>".
    Ref file = dict_entry(globals, "__file__");
    if (file && (same_text(co->co_filename, file.get()) || compiled_relative_to(file.get(), co->co_filename))) {
        return true;
    }
    Ref module_name = dict_entry(globals, "__name__");
    if (!module_name || !PyUnicode_CheckExact(module_name.get())) return false;
    Ref frozen = Ref::steal(PyUnicode_FromFormat("<frozen %U>", module_name.get()));
    return same_text(co->co_filename, frozen.get());
}

bool own_function(PyObject* module, const char* name) {
    if (module == nullptr || !PyModule_CheckExact(module)) return false;
    Ref value = dict_entry(PyModule_GetDict(module), name);
    return value && defined_in(value.get(), module, name);
}

bool own_method(PyObject* type, PyObject* module, const char* name) {
    if (type == nullptr || !PyType_Check(type)) return false;
    Ref value = dict_entry(reinterpret_cast<PyTypeObject*>(type)->tp_dict, name);
    return value && defined_in(value.get(), module, name);
}

bool inherited_from(PyTypeObject* type, PyTypeObject* owner, const char* name) {
    Ref mro = Ref::borrow_or_null(type->tp_mro);
    if (!mro || !PyTuple_CheckExact(mro.get())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (base == reinterpret_cast<PyObject*>(owner)) return true;
        if (!PyType_Check(base)) return false;
        if (dict_entry(reinterpret_cast<PyTypeObject*>(base)->tp_dict, name)) return false;
    }
    return false;
}

}  // namespace pretrain
