#include "bmp.h"

#include "plugin_mirror.h"
#include "origin_checks.h"
#include "pillow_origin_checks.h"

#include <initializer_list>
#include <utility>
#include <vector>

using kaplet::Ref;

namespace pretrain {

namespace {

// A module-level or class-level dict equal, entry by entry, to the one
// Pillow writes; recorded so that a later change of it is seen.
bool dict_is(PyObject* value, std::initializer_list<std::pair<PyObject*, PyObject*>> made) {
    std::vector<std::pair<Ref, Ref>> entries;
    for (auto [key, expected] : made) entries.emplace_back(Ref::steal(key), Ref::steal(expected));
    if (!record_exact_dict(value) || PyDict_GET_SIZE(value) != static_cast<Py_ssize_t>(entries.size())) return false;
    for (const auto& [key, expected] : entries) {
        PyObject* found = PyDict_GetItemWithError(value, key.get());
        if (found == nullptr) {
            PyErr_Clear();
            return false;
        }
        // Exact types, so that the comparison runs no code of the entry's own.
        if (Py_TYPE(found) != Py_TYPE(expected.get())) return false;
        if (PyTuple_CheckExact(found)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(found); ++i) {
                if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(found, i))) return false;
            }
        }
        int same = PyObject_RichCompareBool(found, expected.get(), Py_EQ);
        if (same != 1) {
            if (same < 0) PyErr_Clear();
            return false;
        }
    }
    return true;
}

std::pair<PyObject*, PyObject*> depth(long bits, const char* mode, const char* raw_mode) {
    return {PyLong_FromLong(bits), Py_BuildValue("(ss)", mode, raw_mode)};
}

std::pair<PyObject*, PyObject*> code(const char* name, long value) {
    return {PyUnicode_FromString(name), PyLong_FromLong(value)};
}

}  // namespace

template <>
bool PluginMirror<BmpRules>::code_is_own(PyObject* module, PillowVersion version, BmpRules&) {
    // Checked against each release: the opening code differs only in the
    // mode and info it sets.
    if (version == PillowVersion::Unverified) return false;
    PyObject* globals = PyModule_GetDict(module);
    Ref type = dict_entry(globals, "BmpImageFile");
    if (!type || !PyType_Check(type.get()) || !pillow_image_class(type.get(), {"_bitmap", "mode", "_close_fp"})) {
        return false;
    }
    Ref image_file = pillow_module_global(module, "ImageFile", "PIL.ImageFile");
    if (!image_file || !own_function(image_file.get(), "_safe_read") || !own_function(module, "_accept") ||
        !imported_pillow_function(module, "i16", "PIL._binary", "i16le") ||
        !imported_pillow_function(module, "i32", "PIL._binary", "i32le") ||
        !imported_pillow_function(module, "o8", "PIL._binary", "o8") || !own_raw_palette(module)) {
        return false;
    }
    // USE_RAW_ALPHA is only tested for truth; it picks a mode.
    Ref raw_alpha = dict_entry(globals, "USE_RAW_ALPHA");
    if (!raw_alpha || !PyLong_CheckExact(raw_alpha.get())) {
        if (!raw_alpha || !PyBool_Check(raw_alpha.get())) return false;
    }
    // The depths and compressions _bitmap looks up.
    Ref modes = dict_entry(globals, "BIT2MODE");
    Ref compressions = dict_entry(reinterpret_cast<PyTypeObject*>(type.get())->tp_dict, "COMPRESSIONS");
    return dict_is(modes.get(), {depth(1, "P", "P;1"), depth(4, "P", "P;4"), depth(8, "P", "P"),
                                 depth(16, "RGB", "BGR;15"), depth(24, "RGB", "BGR"), depth(32, "RGB", "BGRX")}) &&
           dict_is(compressions.get(), {code("RAW", 0), code("RLE8", 1), code("RLE4", 2), code("BITFIELDS", 3),
                                        code("JPEG", 4), code("PNG", 5)});
}

}  // namespace pretrain
