#include "formats/png.h"

#include "genuine.h"
#include "pillow_code.h"
#include "zlib_calls.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string_view>

using kaplet::Ref;

namespace pretrain::png {

namespace {

// What chunk_tRNS does with each of PngImagePlugin._MODES's modes.
enum class Transparency { none, grey, rgb };

struct Mode {
    const char* name;
    Transparency transparency;
};

// PngImagePlugin._MODES: (bit depth, colour type) -> the image mode.
std::optional<Mode> mode_of(unsigned depth, unsigned colour) {
    switch (colour) {
        case 0:
            if (depth == 1) return Mode{"1", Transparency::grey};
            if (depth == 2 || depth == 4 || depth == 8) return Mode{"L", Transparency::grey};
            if (depth == 16) return Mode{"I;16", Transparency::grey};
            return {};
        case 2:
            if (depth == 8 || depth == 16) return Mode{"RGB", Transparency::rgb};
            return {};
        case 3:
            if (depth == 1 || depth == 2 || depth == 4 || depth == 8) return Mode{"P", Transparency::none};
            return {};
        case 4:
            if (depth == 8) return Mode{"LA", Transparency::none};
            if (depth == 16) return Mode{"RGBA", Transparency::none};
            return {};
        case 6:
            if (depth == 8 || depth == 16) return Mode{"RGBA", Transparency::none};
            return {};
        default: return {};
    }
}

constexpr unsigned kModeCount = 15;

// The handlers' "if length < n: if ImageFile.LOAD_TRUNCATED_IMAGES: return
// s; raise ValueError(...)".
enum class Length { enough, skipped, refused };

Length at_least(std::uint32_t length, std::uint32_t n, const PngRules& rules) {
    if (length >= n) return Length::enough;
    return rules.load_truncated ? Length::skipped : Length::refused;
}

// Python's strict UTF-8 decoding: the number of code points, or nothing
// for bytes it refuses.
std::optional<std::uint64_t> utf8_length(const std::uint8_t* s, std::size_t n) {
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < n; ++count) {
        std::uint8_t c = s[i];
        std::size_t more;
        std::uint8_t low = 0x80, high = 0xBF;  // the second byte's range
        if (c < 0x80) {
            more = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return {};
        }
        if (i + more >= n && more > 0) return {};
        for (std::size_t k = 1; k <= more; ++k) {
            std::uint8_t next = s[i + k];
            if (k == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xBF)) return {};
        }
        i += more + 1;
    }
    return count;
}

// PngStream's state, as far as it decides whether opening succeeds.
class Stream {
public:
    Stream(PillowVersion version, const PngRules& rules) : version_(version), rules_(rules) {}

    // The chunk's handler (PngStream.call, or the plugin's unknown-chunk
    // branch) finishes with no exception and no warning.
    bool handle(std::string_view cid, const std::uint8_t* s, std::uint32_t length) {
        if (cid == "IHDR") return ihdr(s, length);
        if (!mode_) return false;  // every other handler expects IHDR first
        if (cid == "PLTE" || cid == "eXIf") return true;
        if (cid == "tRNS") return trns(length);
        if (cid == "gAMA") return gama(length);
        if (cid == "cHRM") return chrm(length);
        if (cid == "sRGB") return at_least(length, 1, rules_) != Length::refused;
        if (cid == "pHYs") return at_least(length, 9, rules_) != Length::refused;
        if (cid == "tEXt") return text(s, length);
        if (cid == "zTXt") return ztxt(s, length);
        if (cid == "iTXt") return itxt(s, length);
        if (cid == "iCCP") return iccp(s, length);
        if (cid == "acTL") return actl(s, length);
        if (cid == "fcTL") return fctl(s, length);
        // chunk_IEND and chunk_fdAT end the header early or fail.
        if (cid == "IEND" || cid == "fdAT") return false;
        // PngImageFile._open: no chunk_<cid> handler, the chunk is skipped.
        return true;
    }

    // After chunk_IDAT: the rest of PngImageFile._open, then ImageFile's
    // check of mode and size.
    HeaderSize finish() const {
        if (!mode_) return {};
        // PngImageFile._seek(0) of an APNG, before 13.0.0: a dispose_op of
        // OP_BACKGROUND or OP_PREVIOUS fills an image of the full size and
        // crops it to the frame (the crop's pixel check stays below the
        // image's own).
        if (frames_ && version_ < PillowVersion::V13_0_0 && (disposal_ == 1 || disposal_ == 2)) {
            // A text chunk's "bbox" after the frame control: the crop rounds
            // a string (TypeError), or an empty one leaves the extent unset
            // (AttributeError).
            if (extent_is_text_) return {};
            if (width_ * height_ > (std::uint64_t(1) << 24) || frame_area_ == 0) return {};
        }
        return size_of(width_, height_);
    }

private:
    bool ihdr(const std::uint8_t* s, std::uint32_t length) {
        // A second header would reset the size and mode: left to Pillow.
        if (mode_) return false;
        // chunk_IHDR: "Truncated IHDR chunk", or no size at all.
        if (length < 13) return false;
        mode_ = mode_of(s[8], s[9]);
        // chunk_IHDR: "unknown filter category"; no mode: ImageFile refuses.
        if (!mode_ || s[11] != 0) return false;
        width_ = (std::uint64_t(s[0]) << 24) | (s[1] << 16) | (s[2] << 8) | s[3];
        height_ = (std::uint64_t(s[4]) << 24) | (s[5] << 16) | (s[6] << 8) | s[7];
        return true;
    }

    // chunk_tRNS: i16 reads of a grey (2 bytes) or RGB (6 bytes) colour;
    // a short chunk is a struct.error, from 13.0.0 "Truncated tRNS chunk".
    bool trns(std::uint32_t length) const {
        if (mode_->transparency == Transparency::none) return true;
        std::uint32_t need = mode_->transparency == Transparency::rgb ? 6 : 2;
        if (version_ >= PillowVersion::V13_0_0) return at_least(length, need, rules_) != Length::refused;
        return length >= need;
    }

    // chunk_gAMA: i32 of 4 bytes (struct.error), from 13.0.0 "Truncated
    // gAMA chunk".
    bool gama(std::uint32_t length) const {
        if (version_ >= PillowVersion::V13_0_0) return at_least(length, 4, rules_) != Length::refused;
        return length >= 4;
    }

    // chunk_cHRM: struct.unpack of len(s) // 4 integers needs a multiple of
    // 4 bytes; from 13.0.0 the first 32 bytes, "Truncated cHRM chunk".
    bool chrm(std::uint32_t length) const {
        if (version_ >= PillowVersion::V13_0_0) return at_least(length, 32, rules_) != Length::refused;
        return length % 4 == 0;
    }

    // PngStream.check_text_memory: ValueError once the text read exceeds
    // MAX_TEXT_MEMORY. Where only an upper bound of the amount is known,
    // the answer must hold for every amount up to it.
    bool fits(std::uint64_t most) const {
        return text_most_ + static_cast<std::int64_t>(most) <= rules_.max_text_memory;
    }

    // The text handlers store a text under its key in im_info, where
    // _seek(0) reads "disposal" (a text is never a dispose op) and "bbox"
    // (the extent it crops to) back. Where the text may or may not be
    // stored, the answer must hold either way: the extent counts as text,
    // the dispose op as not replaced.
    void store_text(const std::uint8_t* key, std::size_t size, bool surely = true) {
        std::string_view name(reinterpret_cast<const char*>(key), size);
        if (name == "disposal" && surely) disposal_ = -1;
        if (name == "bbox") extent_is_text_ = true;
    }

    bool count_text(std::uint64_t most) {
        if (!fits(most)) return false;
        text_most_ += static_cast<std::int64_t>(most);
        return true;
    }

    // _safe_zlib_decompress: at most how much it gives, when that is
    // certainly below MAX_TEXT_CHUNK (at the limit: ValueError, or a cut
    // text); zlib.error gives nothing. A bound from the data's size alone
    // where it is below the limit (and, for text, leaves room in the text
    // memory), else the inflated size.
    std::optional<std::uint64_t> decompressed(const std::uint8_t* s, std::size_t n, bool text) const {
        // Deflate gives at most 258 bytes for two bits: a match whose
        // codes have a bit each.
        std::uint64_t most = 1032 * std::uint64_t(n);
        if (most < rules_.max_text_chunk && (!text || fits(most))) return most;
        return inflated_size(s, n, rules_.max_text_chunk);
    }

    // chunk_tEXt: key, NUL, latin-1 text; a key counts its text's length.
    bool text(const std::uint8_t* s, std::uint32_t length) {
        const void* nul = std::memchr(s, 0, length);
        std::size_t key = nul ? static_cast<const std::uint8_t*>(nul) - s : length;
        if (key == 0) return true;
        store_text(s, key);
        std::uint64_t value = nul ? length - key - 1 : 0;
        return count_text(value);
    }

    // chunk_zTXt: key, NUL, compression method 0 ("Unknown compression
    // method" otherwise), zlib data; zlib.error gives an empty text.
    bool ztxt(const std::uint8_t* s, std::uint32_t length) {
        const void* nul = std::memchr(s, 0, length);
        std::size_t key = nul ? static_cast<const std::uint8_t*>(nul) - s : length;
        std::size_t rest = nul ? length - key - 1 : 0;
        if (rest > 0 && s[key + 1] != 0) return false;
        std::optional<std::uint64_t> size = decompressed(rest > 1 ? s + key + 2 : s, rest > 1 ? rest - 1 : 0, key != 0);
        if (!size) return false;
        if (key == 0) return true;
        store_text(s, key);
        return count_text(*size);
    }

    // chunk_iTXt: key, NUL, compression flag and method, language, NUL,
    // translated key, NUL, UTF-8 text. Anything it cannot parse or decode
    // is skipped; only flag != 0 with method 0 decompresses.
    bool itxt(const std::uint8_t* s, std::uint32_t length) {
        const std::uint8_t* end = s + length;
        auto after_nul = [end](const std::uint8_t* from) -> const std::uint8_t* {
            const void* nul = std::memchr(from, 0, end - from);
            return nul ? static_cast<const std::uint8_t*>(nul) + 1 : nullptr;
        };
        const std::uint8_t* r = after_nul(s);
        if (!r || end - r < 2) return true;
        std::uint8_t flag = r[0], method = r[1];
        const std::uint8_t* lang = r + 2;
        const std::uint8_t* tkey = after_nul(lang);
        const std::uint8_t* value = tkey ? after_nul(tkey) : nullptr;
        if (!value) return true;
        std::size_t value_size = end - value;
        if (flag != 0 && method != 0) return true;
        std::optional<std::uint64_t> size = flag != 0 ? decompressed(value, value_size, true) : value_size;
        if (!size) return false;
        if (!utf8_length(lang, tkey - 1 - lang) || !utf8_length(tkey, value - 1 - tkey)) return true;
        if (flag != 0) {
            // Stored unless the inflated text is not UTF-8.
            store_text(s, r - 1 - s, false);
            return count_text(*size);  // at most one code point a byte, none if not UTF-8
        }
        std::optional<std::uint64_t> points = utf8_length(value, value_size);
        if (!points) return true;
        store_text(s, r - 1 - s);
        return count_text(*points);
    }

    // chunk_iCCP: name, NUL, compression method 0 ("Unknown compression
    // method" otherwise), zlib data; zlib.error drops the profile.
    bool iccp(const std::uint8_t* s, std::uint32_t length) const {
        const void* nul = std::memchr(s, 0, length);
        if (!nul) return false;
        std::size_t at = static_cast<const std::uint8_t*>(nul) - s;
        if (at + 1 >= length || s[at + 1] != 0) return false;
        return decompressed(s + at + 2, length - at - 2, false).has_value();
    }

    // chunk_acTL: "APNG contains truncated acTL chunk"; a second acTL or a
    // frame count of 0 or above 2**31 warns "Invalid APNG".
    bool actl(const std::uint8_t* s, std::uint32_t length) {
        Length size = at_least(length, 8, rules_);
        if (size != Length::enough) return size == Length::skipped;
        if (frames_) return false;
        std::uint32_t count = (std::uint32_t(s[0]) << 24) | (s[1] << 16) | (s[2] << 8) | s[3];
        if (count == 0 || count > 0x80000000u) return false;
        frames_ = true;
        return true;
    }

    // chunk_fcTL: "APNG contains truncated fcTL chunk", "frame sequence
    // errors" (0 first, then one up), "invalid frames" (outside the image).
    bool fctl(const std::uint8_t* s, std::uint32_t length) {
        Length size = at_least(length, 26, rules_);
        if (size != Length::enough) return size == Length::skipped;
        auto be32 = [s](int at) {
            return (std::uint64_t(s[at]) << 24) | (s[at + 1] << 16) | (s[at + 2] << 8) | s[at + 3];
        };
        std::int64_t seq = static_cast<std::int64_t>(be32(0));
        if (seq != sequence_ + 1) return false;
        sequence_ = seq;
        std::uint64_t width = be32(4), height = be32(8), x = be32(12), y = be32(16);
        if (x + width > width_ || y + height > height_) return false;
        frame_area_ = width * height;
        extent_is_text_ = false;
        disposal_ = s[24];
        return true;
    }

    PillowVersion version_;
    const PngRules& rules_;
    std::optional<Mode> mode_;
    std::uint64_t width_ = 0, height_ = 0;
    std::int64_t text_most_ = 0;
    bool frames_ = false;          // im_n_frames is set
    std::int64_t sequence_ = -1;   // _seq_num, -1 for None
    int disposal_ = -1;            // im_info["disposal"], -1 when unset
    std::uint64_t frame_area_ = 0;
    bool extent_is_text_ = false;  // im_info["bbox"] was last set by a text chunk
};

// ChunkStream.read: is_cid, rb"\w\w\w\w".
bool is_chunk_id(const std::uint8_t* id) {
    for (int i = 0; i < 4; ++i) {
        std::uint8_t c = id[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}

}  // namespace

// PngImagePlugin: the chunks up to the first IDAT, each through its
// handler and ChunkStream.crc.
HeaderSize read(FileStart& f, PillowVersion version, const PngRules& rules) {
    static const std::uint8_t magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (!f.has(8) || std::memcmp(f.bytes(0), magic, 8) != 0) return {};
    Stream stream(version, rules);
    std::uint64_t pos = 8;
    for (;;) {
        if (!f.has(pos + 8)) return {};
        std::uint32_t length = f.be32(pos);
        std::uint8_t id[4];
        std::memcpy(id, f.bytes(pos + 4), 4);
        // ChunkStream.read: "broken PNG file (chunk ...)"; with
        // LOAD_TRUNCATED_IMAGES the id may still fail to decode.
        if (!is_chunk_id(id)) return {};
        std::string_view cid(reinterpret_cast<const char*>(id), 4);
        // chunk_IDAT ends the header with EOFError, before any checksum.
        if (cid == "IDAT") return stream.finish();
        if (!f.has(pos + 12 + std::uint64_t(length))) return {};
        const std::uint8_t* data = f.bytes(pos + 8);
        if (!stream.handle(cid, data, length)) return {};
        // ChunkStream.crc: "bad header checksum"; with LOAD_TRUNCATED_IMAGES
        // ancillary chunks (bit 5 of the first byte) go unchecked.
        bool checked = !(rules.load_truncated && (id[0] >> 5 & 1));
        if (checked && crc32(data, length, crc32(id, 4)) != f.be32(pos + 8 + length)) return {};
        pos += 12 + std::uint64_t(length);
    }
}

namespace {

constexpr const char* kHandlers[] = {"chunk_iCCP", "chunk_IHDR", "chunk_IDAT", "chunk_IEND", "chunk_PLTE", "chunk_tRNS",
                                     "chunk_gAMA", "chunk_cHRM", "chunk_sRGB", "chunk_pHYs", "chunk_tEXt", "chunk_zTXt",
                                     "chunk_iTXt", "chunk_eXIf", "chunk_acTL", "chunk_fcTL", "chunk_fdAT"};

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
            if (text.substr(0, 6) != "chunk_") continue;
            bool known = false;
            for (const char* handler : kHandlers) known = known || text == handler;
            if (!known) return false;
        }
    }
    for (const char* name : kHandlers) {
        if (!pillow_method(stream, name)) return false;
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

// Checked against the opening code of every release from 11.3.0 to 13.0.0;
// the handlers differ in 13.0.0 only (length checks of tRNS, gAMA, cHRM;
// no disposal image in PngImageFile._seek(0)).
bool code_is_own(PyObject* module, PillowVersion version, PngRules& rules) {
    if (version == PillowVersion::Unverified) return false;
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

}  // namespace pretrain::png
