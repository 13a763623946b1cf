#include "gif.h"

#include "plugin_mirror.h"
#include "origin_checks.h"
#include "pillow_origin_checks.h"

#include <utility>

using kaplet::Ref;

namespace pretrain {

namespace {

// GifImageFile.LOADING_STRATEGY is compared with LoadingStrategy members:
// an exact int or one of those members compares with int's own code.
bool plain_loading_strategy(PyObject* globals) {
    Ref strategy = dict_entry(globals, "LOADING_STRATEGY");
    Ref type = dict_entry(globals, "LoadingStrategy");
    if (!strategy || !type || !PyType_Check(type.get())) return false;
    auto* strategy_type = reinterpret_cast<PyTypeObject*>(type.get());
    if (!PyType_IsSubtype(strategy_type, &PyLong_Type) || strategy_type->tp_richcompare != PyLong_Type.tp_richcompare) {
        return false;
    }
    Ref always = dict_entry(strategy_type->tp_dict, "RGB_ALWAYS");
    if (!always || !Py_IS_TYPE(always.get(), strategy_type)) return false;
    return PyLong_CheckExact(strategy.get()) || Py_IS_TYPE(strategy.get(), strategy_type);
}

// Image.core.fill (disposal 2 and 3) is the fill of Pillow's C module.
bool own_core_fill() {
    Ref image = loaded_module("PIL.Image"), imaging = loaded_module("PIL._imaging");
    if (!image || !imaging || dict_entry(PyModule_GetDict(image.get()), "core").get() != imaging.get()) return false;
    Ref fill = dict_entry(PyModule_GetDict(imaging.get()), "fill");
    return fill && PyCFunction_Check(fill.get()) && PyCFunction_GET_SELF(fill.get()) == imaging.get();
}

// `from copy import copy` of the global palette: copy.copy over the
// class's default reduction.
bool own_palette_copy(PyObject* module) {
    Ref copy = loaded_module("copy"), copyreg = loaded_module("copyreg");
    if (!copy || !copyreg || !own_function(copy.get(), "copy") || !own_function(copy.get(), "_reconstruct") ||
        !own_function(copyreg.get(), "__newobj__") || !own_function(copyreg.get(), "_slotnames")) {
        return false;
    }
    Ref palettes = pillow_module_global(module, "ImagePalette", "PIL.ImagePalette");
    Ref type = palettes ? dict_entry(PyModule_GetDict(palettes.get()), "ImagePalette") : Ref();
    if (!type || !PyType_Check(type.get())) return false;
    // copy.copy asks its own table and copyreg's before the reduction.
    for (auto [owner, table] : {std::pair{copy.get(), "_copy_dispatch"}, std::pair{copyreg.get(), "dispatch_table"}}) {
        Ref entries = dict_entry(PyModule_GetDict(owner), table);
        if (!record_exact_dict(entries.get())) return false;
        int found = PyDict_Contains(entries.get(), type.get());
        if (found != 0) {
            if (found < 0) PyErr_Clear();
            return false;
        }
    }
    auto* palette_type = reinterpret_cast<PyTypeObject*>(type.get());
    for (const char* name : {"__copy__", "__reduce_ex__", "__reduce__", "__getstate__", "__setstate__", "__new__"}) {
        if (!inherited_from(palette_type, &PyBaseObject_Type, name)) return false;
    }
    return true;
}

// isinstance(self._fp, DeferredError) asks a plain class.
bool plain_deferred_error(PyObject* module) {
    Ref util = loaded_module("PIL._util");
    Ref value = dict_entry(PyModule_GetDict(module), "DeferredError");
    return util && value && value.get() == dict_entry(PyModule_GetDict(util.get()), "DeferredError").get() &&
           Py_IS_TYPE(value.get(), &PyType_Type);
}

}  // namespace

template <>
bool PluginMirror<GifRules>::code_is_own(PyObject* module, PillowVersion version, GifRules&) {
    // Checked against each release: the opening code differs only where no
    // size or exception depends on it.
    if (version == PillowVersion::Unverified) return false;
    PyObject* globals = PyModule_GetDict(module);
    Ref image_file = pillow_module_global(module, "ImageFile", "PIL.ImageFile");
    Ref image = pillow_module_global(module, "Image", "PIL.Image");
    return own_function(module, "_accept") && imported_pillow_function(module, "i16", "PIL._binary", "i16le") &&
           image_file && image && own_function(image.get(), "_decompression_bomb_check") &&
           plain_loading_strategy(globals) && own_raw_palette(module) && own_palette_copy(module) && own_core_fill() &&
           plain_deferred_error(module) &&
           pillow_image_class(dict_entry(globals, "GifImageFile").get(), {"_seek", "data", "_is_palette_needed", "mode", "_close_fp"});
}

}  // namespace pretrain
