// The check that the code behind JPEG opening is Pillow's own: the plugin,
// what its handlers and jpeg_factory call, and (when loaded) the TIFF
// directory and MPO code that EXIF and MP indexes go through.
#include "jpeg.h"
#include "jpeg_markers.h"
#include "plugin_mirror.h"

#include "error.h"
#include "origin_checks.h"
#include "pillow_origin_checks.h"

#include <cstring>
#include <initializer_list>
#include <iterator>

using kaplet::Ref;

namespace pretrain {
namespace jpeg {

namespace {

bool exact_long(PyObject* value, long expected) {
    if (value == nullptr || !PyLong_CheckExact(value)) return false;
    int overflow = 0;
    long got = PyLong_AsLongAndOverflow(value, &overflow);
    if (got == -1 && PyErr_Occurred()) PyErr_Clear();
    return overflow == 0 && got == expected;
}

bool exact_bytes(PyObject* value, const char* text, Py_ssize_t size) {
    return value != nullptr && PyBytes_CheckExact(value) && PyBytes_GET_SIZE(value) == size &&
           std::memcmp(PyBytes_AS_STRING(value), text, size) == 0;
}

Ref item(PyObject* dict, long key) {
    Ref number = Ref::steal(PyLong_FromLong(key));
    Ref value = Ref::borrow_or_null(PyDict_GetItemWithError(dict, number.get()));
    if (!value && PyErr_Occurred()) kaplet::throw_python_error();
    return value;
}

void record(PyObject* dict) {
    if (Fingerprint* recording = Recording::current()) recording->add_dict(dict);
}

// MARKER maps exactly 0xFFC0-0xFFFE, each to its own handler.
bool markers_are_own(PyObject* module) {
    Ref markers = dict_entry(PyModule_GetDict(module), "MARKER");
    if (!markers || !PyDict_CheckExact(markers.get()) || PyDict_GET_SIZE(markers.get()) != 0xFFFE - 0xFFC0 + 1) return false;
    record(markers.get());
    for (long marker = 0xFFC0; marker <= 0xFFFE; ++marker) {
        Ref entry = item(markers.get(), marker);
        if (!entry || !PyTuple_CheckExact(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 3) return false;
        PyObject* handler = PyTuple_GET_ITEM(entry.get(), 2);
        const char* name = function_name(handler_of(static_cast<std::uint8_t>(marker & 0xFF)));
        if (name == nullptr ? handler != Py_None : !is_own_global(module, handler, name)) return false;
    }
    return true;
}

// `name` in module's globals is `module_name`'s own function `function`.
bool global_is(PyObject* module, const char* name, const char* module_name, const char* function) {
    Ref owner = loaded_module(module_name);
    return owner && defined_in(dict_entry(PyModule_GetDict(module), name).get(), owner.get(), function);
}

// `name` in module's globals is the loaded module `module_name`.
bool global_module(PyObject* module, const char* name, const char* module_name) {
    Ref owner = loaded_module(module_name);
    return owner && dict_entry(PyModule_GetDict(module), name).get() == owner.get();
}

bool methods_are_own(PyObject* type, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (!pillow_method(type, name)) return false;
    }
    return true;
}

// ImageFile._safe_read, which every handler reads its segment with; any
// positive SAFEBLOCK reads a whole segment alike.
bool safe_read_is_own(PyObject* module) {
    Ref image_file = loaded_module("PIL.ImageFile");
    if (!image_file || !global_module(module, "ImageFile", "PIL.ImageFile")) return false;
    Ref block = dict_entry(PyModule_GetDict(image_file.get()), "SAFEBLOCK");
    if (!block || !PyLong_CheckExact(block.get())) return false;
    int overflow = 0;
    long size = PyLong_AsLongAndOverflow(block.get(), &overflow);
    if (size == -1 && PyErr_Occurred()) PyErr_Clear();
    if (overflow < 0 || (overflow == 0 && size <= 0)) return false;
    return own_function(image_file.get(), "_safe_read");
}

// The submodule is loaded and is what `from . import name` finds in PIL.
Ref pil_submodule(const char* name, const char* full_name) {
    Ref module = loaded_module(full_name);
    Ref package = loaded_module("PIL");
    if (!module || !package || dict_entry(PyModule_GetDict(package.get()), name).get() != module.get()) return {};
    return module;
}

// The value types and lengths TiffTags gives the tags the mirror decodes.
bool tag_infos_are_own(PyObject* tiff) {
    Ref tags = pil_submodule("TiffTags", "PIL.TiffTags");
    if (!tags || !global_module(tiff, "TiffTags", "PIL.TiffTags") || !own_function(tags.get(), "lookup")) return false;
    Ref table = dict_entry(PyModule_GetDict(tags.get()), "TAGS_V2");
    if (!table || !PyDict_CheckExact(table.get())) return false;
    record(table.get());
    struct Info {
        long tag, type, length;
    };
    for (Info info : {Info{282, 5, 1}, Info{296, 3, 1}, Info{45056, 7, 1}, Info{45057, 4, 1}, Info{45058, 7, 1},
                      Info{45059, 7, 0}, Info{45060, 4, 1}}) {
        Ref entry = item(table.get(), info.tag);
        if (!entry || !PyTuple_Check(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 5) return false;
        if (!exact_long(PyTuple_GET_ITEM(entry.get(), 2), info.type) || !exact_long(PyTuple_GET_ITEM(entry.get(), 3), info.length)) {
            return false;
        }
    }
    return true;
}

// ImageFileDirectory_v2._load_dispatch: the types, their value sizes, and
// the loaders of the types decoded (SHORT, LONG, RATIONAL, UNDEFINED,
// SRATIONAL).
bool loaders_are_own(PyObject* tiff, PyObject* directory) {
    Ref dispatch = dict_entry(reinterpret_cast<PyTypeObject*>(directory)->tp_dict, "_load_dispatch");
    struct Loader {
        long type, size;
        const char* name;
        const char* format;  // basic_handler's struct code
    };
    static constexpr Loader loaders[] = {
        {1, 1, nullptr, nullptr}, {2, 1, nullptr, nullptr}, {3, 2, "basic_handler", "H"}, {4, 4, "basic_handler", "L"},
        {5, 8, "load_rational", nullptr}, {6, 1, nullptr, nullptr}, {7, 1, "load_undefined", nullptr},
        {8, 2, nullptr, nullptr}, {9, 4, nullptr, nullptr}, {10, 8, "load_signed_rational", nullptr},
        {11, 4, nullptr, nullptr}, {12, 8, nullptr, nullptr}, {13, 4, nullptr, nullptr}, {16, 8, nullptr, nullptr},
    };
    if (!dispatch || !PyDict_CheckExact(dispatch.get()) || PyDict_GET_SIZE(dispatch.get()) != std::ssize(loaders)) return false;
    record(dispatch.get());
    for (const Loader& loader : loaders) {
        Ref entry = item(dispatch.get(), loader.type);
        if (!entry || !PyTuple_CheckExact(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 2) return false;
        if (!exact_long(PyTuple_GET_ITEM(entry.get(), 0), loader.size)) return false;
        if (loader.name == nullptr) continue;
        PyObject* handler = PyTuple_GET_ITEM(entry.get(), 1);
        if (!defined_in(handler, tiff, loader.name)) return false;
        if (loader.format) {
            // The closure's cells, in the order of co_freevars: fmt, size.
            PyObject* closure = PyFunction_GET_CLOSURE(handler);
            if (closure == nullptr || !PyTuple_CheckExact(closure) || PyTuple_GET_SIZE(closure) != 2) return false;
            PyObject* format = PyCell_GET(PyTuple_GET_ITEM(closure, 0));
            if (format == nullptr || !PyUnicode_CheckExact(format) || PyUnicode_CompareWithASCIIString(format, loader.format) != 0 ||
                !exact_long(PyCell_GET(PyTuple_GET_ITEM(closure, 1)), loader.size)) {
                return false;
            }
        }
    }
    return true;
}

// TiffImagePlugin as Exif.load and _getmp use it: the header test, the
// directory class and its loading, decoding and storing, the rationals, the
// tag table, and its logger (load logs every tag at DEBUG level).
bool tiff_code_is_own(PyObject* image) {
    Ref tiff = pil_submodule("TiffImagePlugin", "PIL.TiffImagePlugin");
    if (!tiff) return false;
    PyObject* globals = PyModule_GetDict(tiff.get());
    Ref prefixes = dict_entry(globals, "PREFIXES");
    static const char* const expected[] = {"MM\x00\x2a", "II\x2a\x00", "MM\x2a\x00", "II\x00\x2a", "MM\x00\x2b", "II\x2b\x00"};
    if (!prefixes || !PyList_CheckExact(prefixes.get()) || PyList_GET_SIZE(prefixes.get()) != 6) return false;
    for (Py_ssize_t i = 0; i < 6; ++i) {
        if (!exact_bytes(PyList_GET_ITEM(prefixes.get(), i), expected[i], 4)) return false;
    }
    if (!exact_bytes(dict_entry(globals, "MM").get(), "MM", 2) || !exact_bytes(dict_entry(globals, "II").get(), "II", 2)) return false;
    if (!own_function(tiff.get(), "_accept") || !safe_read_is_own(tiff.get())) return false;
    Ref directory = dict_entry(globals, "ImageFileDirectory_v2");
    if (!methods_are_own(directory.get(), {"__init__", "reset", "load", "_ensure_read", "_unpack", "__getitem__",
                                           "__contains__", "__setitem__", "_setitem", "__iter__", "legacy_api"})) {
        return false;
    }
    if (!loaders_are_own(tiff.get(), directory.get())) return false;
    if (!methods_are_own(dict_entry(globals, "IFDRational").get(), {"__init__"})) return false;
    if (!tag_infos_are_own(tiff.get()) || !debug_logging_off(tiff.get())) return false;
    // Image.Exif: loading, and the item access _read_dpi_from_exif and
    // getexif's XMP orientation test make.
    Ref exif = dict_entry(PyModule_GetDict(image), "Exif");
    return methods_are_own(exif.get(), {"__init__", "load", "__getitem__", "__contains__", "__setitem__", "_fixup"});
}

// MpoImagePlugin as jpeg_factory's MpoImageFile.adopt uses it.
bool mpo_code_is_own() {
    Ref mpo = pil_submodule("MpoImagePlugin", "PIL.MpoImagePlugin");
    return mpo && pillow_image_class(dict_entry(PyModule_GetDict(mpo.get()), "MpoImageFile").get(), {"adopt", "_after_jpeg_open"});
}

}  // namespace

}  // namespace jpeg

// Verified against each release listed in PillowVersion: where the opening
// code differs between them, JpegQuirks names the difference.
template <>
bool PluginMirror<JpegRules>::code_is_own(PyObject* module, PillowVersion version, JpegRules& rules) {
    using namespace jpeg;
    if (version == PillowVersion::Unverified) return false;
    rules.quirks.directory_keeps_first_entry = version >= PillowVersion::V13_0_0;
    PyObject* globals = PyModule_GetDict(module);
    Ref image_class = dict_entry(globals, "JpegImageFile");
    if (!pillow_image_class(image_class.get(), {"_read_dpi_from_exif", "_getmp", "getexif"})) return false;
    for (const char* name : {"jpeg_factory", "_getmp", "_accept"}) {
        if (!own_function(module, name)) return false;
    }
    if (!markers_are_own(module) || !safe_read_is_own(module)) return false;
    if (!global_is(module, "i16", "PIL._binary", "i16be") || !global_is(module, "i32", "PIL._binary", "i32be")) return false;
    Ref image = loaded_module("PIL.Image");
    if (!image || !global_module(module, "Image", "PIL.Image")) return false;
    rules.tiff = tiff_code_is_own(image.get());
    rules.mpo = rules.tiff && mpo_code_is_own();
    return true;
}

}  // namespace pretrain
