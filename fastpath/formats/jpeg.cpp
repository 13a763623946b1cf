#include "formats/jpeg.h"

#include "error.h"
#include "genuine.h"
#include "pillow_code.h"

#include <cstring>

using kaplet::Ref;

namespace pretrain::jpeg {

// JpegImagePlugin: markers from SOI to SOS, each segment complete; only
// segments whose handlers cannot fail and that leave a plain JPEG (no MPO
// index, no EXIF resolution to parse, no Photoshop resources).
HeaderSize read(FileStart& f, PillowVersion, const JpegRules&) {
    if (!f.has(3) || f.at(0) != 0xFF || f.at(1) != 0xD8 || f.at(2) != 0xFF) return {};
    std::uint64_t pos = 2;  // at the 0xFF of the next marker
    std::uint64_t width = 0, height = 0;
    bool frame = false, resolution = false, exif = false;
    for (;;) {
        if (!f.has(pos + 4) || f.at(pos) != 0xFF) return {};
        std::uint8_t marker = f.at(pos + 1);
        std::uint32_t length = f.be16(pos + 2);
        if (length < 2 || !f.has(pos + 2 + length)) return {};
        const std::uint8_t* s = f.bytes(pos + 4);
        std::size_t n = length - 2;
        auto starts = [&](const char* text, std::size_t size) { return n >= size && std::memcmp(s, text, size) == 0; };
        if (marker == 0xDA) {
            if (!frame || (exif && !resolution)) return {};
            return size_of(width, height);
        }
        if (marker >= 0xC0 && marker <= 0xC2) {
            if (frame || n < 6 || s[0] != 8 || (s[5] != 1 && s[5] != 3 && s[5] != 4)) return {};
            height = (s[1] << 8) | s[2];
            width = (s[3] << 8) | s[4];
            frame = true;
        } else if (marker == 0xDB) {
            for (std::size_t at = 0; at < n;) {
                std::size_t table = 1 + (s[at] / 16 == 0 ? 1 : 2) * 64;
                if (n - at < table) return {};
                at += table;
            }
        } else if (marker == 0xE0) {
            if (starts("JFIF", 4)) {
                if (n < 12) return {};
                if (s[7] == 1 || s[7] == 2) resolution = true;
            }
        } else if (marker == 0xE1) {
            if (starts("Exif\0\0", 6)) exif = true;
        } else if (marker == 0xE2) {
            if (starts("MPF\0", 4)) return {};
            if (starts("ICC_PROFILE\0", 12) && n < 14) return {};
        } else if (marker == 0xED) {
            if (starts("Photoshop 3.0\0", 14)) return {};
        } else if (marker == 0xEE) {
            if (starts("Adobe", 5) && n < 7) return {};
        } else if (marker == 0xC4 || marker == 0xCC || marker == 0xDD || marker == 0xFE || (marker > 0xE2 && marker <= 0xEF)) {
            // skipped or stored as they are
        } else {
            return {};
        }
        pos += 2 + length;
    }
}

bool code_is_own(PyObject* module, PillowVersion version, JpegRules&) {
    if (version != PillowVersion::V11_3_0) return false;
    PyObject* globals = PyModule_GetDict(module);
    Ref image_class = dict_entry(globals, "JpegImageFile");
    if (!pillow_image_class(image_class.get(), {"_read_dpi_from_exif", "_getmp"})) return false;
    Ref markers = dict_entry(globals, "MARKER");
    if (!markers || !PyDict_CheckExact(markers.get())) return false;
    if (Fingerprint* recording = Recording::current()) recording->add_dict(markers.get());
    for (long marker = 0xFFC0; marker <= 0xFFFE; ++marker) {
        Ref key = Ref::steal(PyLong_FromLong(marker));
        Ref entry = Ref::borrow_or_null(PyDict_GetItemWithError(markers.get(), key.get()));
        if (!entry) {
            if (PyErr_Occurred()) kaplet::throw_python_error();
            continue;
        }
        if (!PyTuple_CheckExact(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 3) return false;
        Ref handler = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 2));
        if (handler.get() == Py_None) continue;
        bool own = false;
        for (const char* name : {"APP", "COM", "DQT", "SOF", "Skip"}) own = own || is_own_global(module, handler.get(), name);
        if (!own) return false;
    }
    return own_function(module, "_getmp");
}

}  // namespace pretrain::jpeg
