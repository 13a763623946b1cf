#include "formats/gif.h"

#include "formats/plugin_mirror.h"
#include "genuine.h"
#include "pillow_code.h"

#include <algorithm>
#include <cstring>
#include <utility>

using kaplet::Ref;

namespace pretrain {

namespace {

// Reads through the file as GifImageFile does, refusing (false) wherever
// Pillow would read past the end: a short read there ends in an exception or
// in "image not found in GIF frame", never in a size.
class Blocks {
public:
    explicit Blocks(FileStart& file, std::uint64_t pos) : f_(file), pos_(pos) {}

    std::uint64_t pos() const { return pos_; }
    bool byte(std::uint8_t& value) {
        if (!f_.has(pos_ + 1)) return false;
        value = f_.at(pos_++);
        return true;
    }
    bool skip(std::uint64_t count) {
        if (!f_.has(pos_ + count)) return false;
        pos_ += count;
        return true;
    }
    // GifImageFile.data: a size byte and that many bytes; a size of 0 gives
    // None. Sets `size` and leaves `start` at the block's bytes.
    bool data(std::uint8_t& size, std::uint64_t& start) {
        if (!byte(size)) return false;
        start = pos_;
        return skip(size);
    }
    // `while self.data(): pass`: sub-blocks up to and including an empty one.
    bool skip_sub_blocks() {
        for (std::uint8_t size = 1; size != 0;) {
            std::uint64_t start;
            if (!data(size, start)) return false;
        }
        return true;
    }

private:
    FileStart& f_;
    std::uint64_t pos_;
};

// One extension of GifImageFile._seek's loop, after its "!": false where
// Pillow raises or reads past the end.
bool read_extension(FileStart& f, Blocks& blocks) {
    std::uint8_t label, size;
    std::uint64_t start;
    if (!blocks.byte(label)) return false;       // s[0] of an empty read: IndexError
    if (!blocks.data(size, start)) return false;  // the first block, None when empty
    if (label == 254) {
        // Comment: blocks are read while they have bytes; an empty first
        // block ends it there.
        return size == 0 || blocks.skip_sub_blocks();
    }
    if (label == 249 && size != 0) {
        // Graphic control: duration is i16(block, 1) (struct.error when
        // short), transparency block[3] when flags & 1 (IndexError). The
        // disposal method only chooses how the next frame is prepared.
        if (size < 3) return false;
        if ((f.at(start) & 1) && size < 4) return false;
    }
    if (label == 255 && size >= 11 && std::memcmp(f.bytes(start), "NETSCAPE2.0", 11) == 0) {
        // Application NETSCAPE2.0: the loop block is read with data() before
        // the skip, whatever it holds. When that read meets the terminator,
        // the skip goes on over whatever follows as sub-blocks.
        if (!blocks.data(size, start)) return false;
    }
    // Every other case, an empty first block included, goes on to the skip:
    // after an empty first block it reads the following bytes as sub-blocks.
    return blocks.skip_sub_blocks();
}

}  // namespace

// GifImageFile._open and _seek(0): the screen descriptor and its palette,
// then blocks up to the first image descriptor, which may widen the size.
// Identical in every release listed in code_is_own.
template <>
HeaderSize PluginMirror<GifRules>::read(FileStart& f, const GifRules&) {
    // _accept: "GIF87a" or "GIF89a".
    if (!f.has(13) || std::memcmp(f.bytes(0), "GIF8", 4) != 0 || (f.at(4) != '7' && f.at(4) != '9') || f.at(5) != 'a') {
        return {};
    }
    std::uint64_t width = f.le16(6), height = f.le16(8);
    std::uint8_t flags = f.at(10);
    Blocks blocks(f, 13);
    // A short global palette can make _is_palette_needed index past its end.
    if ((flags & 128) && !blocks.skip(3u << ((flags & 7) + 1))) return {};
    std::uint8_t kind;
    if (!blocks.byte(kind)) return {};
    for (;;) {
        if (kind == ';') return {};  // "no more images" / "image not found in GIF frame"
        if (kind == '!') {
            if (!read_extension(f, blocks)) return {};
        } else if (kind == ',') {
            std::uint64_t at = blocks.pos();
            if (!blocks.skip(9)) return {};  // i16 of a short read: struct.error
            std::uint64_t x1 = f.le16(at) + f.le16(at + 4);
            std::uint64_t y1 = f.le16(at + 2) + f.le16(at + 6);
            std::uint8_t image_flags = f.at(at + 8);
            if ((image_flags & 128) && !blocks.skip(3u << ((image_flags & 7) + 1))) return {};
            std::uint8_t bits;
            if (!blocks.byte(bits)) return {};  // read(1)[0]: IndexError
            // A frame reaching past the screen widens the size (its bomb
            // check is Image.open's own on the same size). Disposal 2 and 3
            // fill the frame's extent, which is never larger.
            return size_of(std::max(x1, width), std::max(y1, height));
        }
        // Any other byte is passed over one at a time.
        if (!blocks.byte(kind)) return {};
    }
}

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
