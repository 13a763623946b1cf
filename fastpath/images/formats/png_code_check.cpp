#include "png.h"

#include "plugin_mirror.h"
#include "origin_checks.h"
#include "pillow_origin_checks.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

using kaplet::Ref;

namespace pretrain {
namespace png {

namespace {

// What changed in PngImagePlugin's opening code between the releases
// listed in pillow_releases.h.
PngQuirks quirks_of(PillowVersion version) {
    PngQuirks quirks;
    quirks.checks_short_chunks = version >= PillowVersion::V13_0_0;
    quirks.crops_first_disposal = version < PillowVersion::V13_0_0;
    return quirks;
}

// "chunk_" + cid is one of the reader's handlers.
bool is_handler(std::string_view name) {
    if (name.size() != 10 || name.substr(0, 6) != "chunk_") return false;
    for (std::size_t i = 0; i < handler_count(); ++i) {
        if (handler_cid(i) == name.substr(6)) return true;
    }
    return false;
}

// PngStream.call looks up chunk_<cid> on the stream: the classes of its
// method resolution order hold exactly the handlers mirrored here, and
// nothing that changes attribute lookup.
bool handlers_are_known(PyObject* stream) {
    if (!PyType_Check(stream)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(stream);
    if (Py_TYPE(stream) != &PyType_Type) return false;
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != 3 ||
        PyTuple_GET_ITEM(mro, 2) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (!record_exact_dict(dict)) return false;
        Py_ssize_t at = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &at, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return false;
            const char* name = PyUnicode_AsUTF8(key);
            if (name == nullptr) {
                PyErr_Clear();
                return false;
            }
            std::string_view text(name);
            if (text == "__getattr__" || text == "__getattribute__") return false;
            if (text.substr(0, 6) == "chunk_" && !is_handler(text)) return false;
        }
    }
    for (std::size_t i = 0; i < handler_count(); ++i) {
        std::string name = "chunk_" + std::string(handler_cid(i));
        if (!pillow_method(stream, name.c_str())) return false;
    }
    return true;
}

// PngImagePlugin._MODES maps exactly the modes mode_of gives.
bool modes_are_known(PyObject* globals) {
    Ref modes = dict_entry(globals, "_MODES");
    if (!record_exact_dict(modes.get()) || PyDict_GET_SIZE(modes.get()) != kModeCount) return false;
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(modes.get(), &at, &key, &value)) {
        if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2 || !PyTuple_CheckExact(value) ||
            PyTuple_GET_SIZE(value) != 2) {
            return false;
        }
        PyObject* depth = PyTuple_GET_ITEM(key, 0);
        PyObject* colour = PyTuple_GET_ITEM(key, 1);
        PyObject* name = PyTuple_GET_ITEM(value, 0);
        if (!PyLong_CheckExact(depth) || !PyLong_CheckExact(colour) || !PyUnicode_CheckExact(name)) return false;
        long d = PyLong_AsLong(depth), c = PyLong_AsLong(colour);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        std::optional<Mode> mode = (d >= 0 && d < 256 && c >= 0 && c < 256) ? mode_of(d, c) : std::nullopt;
        if (!mode || PyUnicode_CompareWithASCIIString(name, mode->name) != 0) return false;
    }
    return true;
}

// A compiled bytes pattern of exactly `source`, no flags.
bool is_bytes_pattern(PyObject* pattern, std::string_view source) {
    Ref re = loaded_module("re");
    Ref pattern_type = re ? dict_entry(PyModule_GetDict(re.get()), "Pattern") : Ref();
    auto* type = reinterpret_cast<PyTypeObject*>(pattern_type.get());
    if (pattern == nullptr || !pattern_type || Py_TYPE(pattern) != type) {
        return false;
    }
    Ref text = Ref::steal_or_null(PyObject_GetAttrString(pattern, "pattern"));
    Ref flags = Ref::steal_or_null(PyObject_GetAttrString(pattern, "flags"));
    if (!text || !flags) {
        PyErr_Clear();
        return false;
    }
    return PyBytes_CheckExact(text.get()) &&
           std::string_view(PyBytes_AS_STRING(text.get()), PyBytes_GET_SIZE(text.get())) == source &&
           PyLong_CheckExact(flags.get()) && PyLong_AsLong(flags.get()) == 0;
}

// PngImagePlugin.is_cid is re.compile(rb"\w\w\w\w").match, and chunk_tRNS
// matches with _simple_palette, a bytes pattern.
bool patterns_are_own(PyObject* globals) {
    Ref match = dict_entry(globals, "is_cid");
    if (!match || !PyCFunction_Check(match.get())) return false;
    auto* function = reinterpret_cast<PyCFunctionObject*>(match.get());
    if (std::strcmp(function->m_ml->ml_name, "match") != 0 || !is_bytes_pattern(function->m_self, "\\w\\w\\w\\w")) {
        return false;
    }
    Ref palette = dict_entry(globals, "_simple_palette");
    return palette && is_bytes_pattern(palette.get(), std::string_view("^\xff*\x00\xff*$", 7));
}

// The module global `name` is the loaded module of that name, and its
// `functions` are built-in (C) functions.
bool builtin_module(PyObject* globals, const char* name, std::initializer_list<const char*> functions) {
    Ref global = dict_entry(globals, name);
    Ref module = loaded_module(name);
    if (!global || global.get() != module.get()) return false;
    for (const char* function : functions) {
        Ref entry = dict_entry(PyModule_GetDict(module.get()), function);
        if (!entry || !PyCFunction_Check(entry.get())) return false;
    }
    return true;
}

// An exact int setting, saturated to 64 bits.
std::optional<std::int64_t> int_setting(PyObject* dict, const char* name) {
    Ref value = dict_entry(dict, name);
    if (!value || !PyLong_CheckExact(value.get())) return {};
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (overflow > 0) return INT64_MAX;
    if (overflow < 0) return INT64_MIN;
    return number;
}

}  // namespace

}  // namespace png

// Checked against the opening code of every release listed; where it
// differs, quirks_of names the difference.
template <>
bool PluginMirror<PngRules>::code_is_own(PyObject* module, PillowVersion version, PngRules& rules) {
    using namespace png;
    if (version == PillowVersion::Unverified) return false;
    rules.quirks = quirks_of(version);
    PyObject* globals = PyModule_GetDict(module);
    Ref stream = dict_entry(globals, "PngStream");
    if (!stream || !handlers_are_known(stream.get())) return false;
    for (const char* name : {"__init__", "read", "call", "crc", "crc_skip", "check_text_memory"}) {
        if (!pillow_method(stream.get(), name)) return false;
    }
    for (const char* name : {"_safe_zlib_decompress", "_crc32"}) {
        if (!own_function(module, name)) return false;
    }
    if (!modes_are_known(globals) || !patterns_are_own(globals) ||
        !builtin_module(globals, "zlib", {"decompressobj", "crc32"}) ||
        !builtin_module(globals, "struct", {"unpack"}) ||
        !imported_pillow_function(module, "i32", "PIL._binary", "i32be") ||
        !imported_pillow_function(module, "i16", "PIL._binary", "i16be")) {
        return false;
    }
    // chunk_iTXt makes its text with PngImagePlugin.iTXt.
    Ref itxt = dict_entry(globals, "iTXt");
    if (!itxt || !PyType_Check(itxt.get()) || reinterpret_cast<PyTypeObject*>(itxt.get())->tp_base != &PyUnicode_Type ||
        !pillow_method(itxt.get(), "__new__")) {
        return false;
    }
    // The handlers read with ImageFile._safe_read and check
    // ImageFile.LOAD_TRUNCATED_IMAGES.
    Ref image_file = pillow_module_global(module, "ImageFile", "PIL.ImageFile");
    if (!image_file || !own_function(image_file.get(), "_safe_read")) return false;
    Ref truncated = dict_entry(PyModule_GetDict(image_file.get()), "LOAD_TRUNCATED_IMAGES");
    if (!truncated || !PyBool_Check(truncated.get())) return false;
    rules.load_truncated = truncated.get() == Py_True;
    // zlib's max_length must be a positive size (0 would mean no limit).
    std::optional<std::int64_t> chunk = int_setting(globals, "MAX_TEXT_CHUNK");
    std::optional<std::int64_t> memory = int_setting(globals, "MAX_TEXT_MEMORY");
    if (!chunk || *chunk <= 0 || *chunk > (std::int64_t(1) << 40) || !memory) return false;
    rules.max_text_chunk = static_cast<std::uint64_t>(*chunk);
    rules.max_text_memory = *memory;
    // PngStream.call logs every chunk at DEBUG level; PngImageFile._open
    // makes the palette with ImagePalette.raw.
    if (!debug_logging_off(module) || !own_raw_palette(module)) return false;
    // PngImageFile._open, and _seek(0) of an APNG with its Image._crop.
    Ref image = loaded_module("PIL.Image");
    return image && own_function(image.get(), "_decompression_bomb_check") &&
           pillow_image_class(dict_entry(globals, "PngImageFile").get(),
                              {"_seek", "_crop", "mode", "_close_fp"});
}

}  // namespace pretrain
