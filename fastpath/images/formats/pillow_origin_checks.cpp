#include "pillow_origin_checks.h"

#include <string_view>

using kaplet::Ref;

namespace pretrain {

namespace {

// The first class of type's method resolution order that defines name.
Ref defining_class(PyObject* type, const char* name) {
    if (type == nullptr || !PyType_Check(type)) return {};
    Ref mro = Ref::borrow_or_null(reinterpret_cast<PyTypeObject*>(type)->tp_mro);
    if (!mro || !PyTuple_CheckExact(mro.get())) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        Ref base = Ref::borrow(PyTuple_GET_ITEM(mro.get(), i));
        if (!PyType_Check(base.get())) return {};
        if (dict_entry(reinterpret_cast<PyTypeObject*>(base.get())->tp_dict, name)) return base;
    }
    return {};
}

}  // namespace

bool pillow_method(PyObject* type, const char* name) {
    Ref owner = defining_class(type, name);
    if (!owner) return false;
    Ref module_name = dict_entry(reinterpret_cast<PyTypeObject*>(owner.get())->tp_dict, "__module__");
    if (!module_name || !PyUnicode_CheckExact(module_name.get())) return false;
    const char* text = PyUnicode_AsUTF8(module_name.get());
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    if (std::string_view(text).substr(0, 4) != "PIL.") return false;
    Ref module = loaded_module(text);
    return module && own_method(owner.get(), module.get(), name);
}

bool pillow_image_class(PyObject* type, std::initializer_list<const char*> methods) {
    for (const char* name : {"__init__", "_open", "size", "__enter__", "__exit__", "close"}) {
        if (!pillow_method(type, name)) return false;
    }
    for (const char* name : methods) {
        if (!pillow_method(type, name)) return false;
    }
    return true;
}

bool is_own_global(PyObject* module, PyObject* value, const char* name) {
    return value == dict_entry(PyModule_GetDict(module), name).get() && own_function(module, name);
}

bool debug_logging_off(PyObject* module) {
    Ref logger = dict_entry(PyModule_GetDict(module), "logger");
    Ref logging = loaded_module("logging");
    Ref logger_class = logging ? dict_entry(PyModule_GetDict(logging.get()), "Logger") : Ref();
    if (!logger || !logger_class || !Py_IS_TYPE(logger.get(), reinterpret_cast<PyTypeObject*>(logger_class.get()))) {
        return false;
    }
    Ref enabled = Ref::steal_or_null(PyObject_CallMethod(logger.get(), "isEnabledFor", "i", 10));
    if (!enabled) {
        PyErr_Clear();
        return false;
    }
    // Level changes anywhere clear every logger's cache of answers.
    if (Fingerprint* recording = Recording::current()) {
        Ref state = Ref::steal_or_null(PyObject_GenericGetDict(logger.get(), nullptr));
        Ref cache = state ? dict_entry(state.get(), "_cache") : Ref();
        if (!cache) {
            PyErr_Clear();
            return false;
        }
        recording->add_dict(cache.get());
    }
    return enabled.get() == Py_False;
}

Ref pillow_module_global(PyObject* module, const char* name, const char* pillow_module) {
    Ref wanted = loaded_module(pillow_module);
    Ref value = dict_entry(PyModule_GetDict(module), name);
    return wanted && value.get() == wanted.get() ? wanted : Ref();
}

bool imported_pillow_function(PyObject* module, const char* name, const char* pillow_module, const char* original) {
    Ref source = loaded_module(pillow_module);
    Ref value = dict_entry(PyModule_GetDict(module), name);
    return source && value && value.get() == dict_entry(PyModule_GetDict(source.get()), original).get() &&
           own_function(source.get(), original);
}

bool own_raw_palette(PyObject* module) {
    Ref palettes = pillow_module_global(module, "ImagePalette", "PIL.ImagePalette");
    if (!palettes || !own_function(palettes.get(), "raw")) return false;
    Ref type = dict_entry(PyModule_GetDict(palettes.get()), "ImagePalette");
    if (!type || !PyType_Check(type.get()) || !own_method(type.get(), palettes.get(), "__init__")) return false;
    Ref palette = dict_entry(reinterpret_cast<PyTypeObject*>(type.get())->tp_dict, "palette");
    if (!palette || !Py_IS_TYPE(palette.get(), &PyProperty_Type) || !own_method(type.get(), palettes.get(), "palette")) {
        return false;
    }
    Ref setter = Ref::steal_or_null(PyObject_GetAttrString(palette.get(), "fset"));
    if (!setter) {
        PyErr_Clear();
        return false;
    }
    return defined_in(setter.get(), palettes.get(), "palette");
}

bool record_exact_dict(PyObject* value) {
    if (value == nullptr || !PyDict_CheckExact(value)) return false;
    if (Fingerprint* recording = Recording::current()) recording->add_dict(value);
    return true;
}

}  // namespace pretrain
