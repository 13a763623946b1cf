#include "jpeg.h"

#include "binary.h"
#include "jpeg_ifd.h"
#include "jpeg_markers.h"
#include "plugin_mirror.h"

#include <cstring>
#include <string_view>

namespace pretrain {
namespace jpeg {

namespace {

struct Span {
    std::uint64_t at = 0;
    std::uint64_t size = 0;
};

// What the handlers leave that the end of the opening code reads.
struct Segments {
    std::uint64_t width = 0, height = 0;
    bool frame = false;
    bool dpi = false;  // info["dpi"] from a JFIF density
    int exif_count = 0;
    Span exif;         // the first EXIF segment
    bool mp = false;
    Span mp_index;     // info["mp"]: the last MPF segment after "MPF\0"
    static constexpr int kApp1Kept = 8;
    Span app1[kApp1Kept];  // for jpeg_factory's Ultra HDR test
    int app1_count = 0;
};

bool starts(const std::uint8_t* s, std::uint64_t n, std::string_view text) {
    return n >= text.size() && std::memcmp(s, text.data(), text.size()) == 0;
}

using binary::i16be;
using binary::i32be;

// APP's Photoshop resource loop: struct.error ends it, but a block cut
// right after its resource code makes `s[offset]` raise IndexError.
bool photoshop_is_quiet(const std::uint8_t* s, std::uint64_t n) {
    std::uint64_t offset = 14;
    while (offset <= n && n - offset >= 4 && std::memcmp(s + offset, "8BIM", 4) == 0) {
        offset += 4;
        if (n - offset < 2) return true;
        std::uint32_t code = i16be(s + offset);
        offset += 2;
        if (offset >= n) return false;
        offset += 1 + s[offset];
        offset += offset & 1;
        if (offset > n || n - offset < 4) return true;
        std::uint64_t size = i32be(s + offset);
        offset += 4;
        // ResolutionInfo reads 14 bytes of its block (struct.error if short).
        if (code == 0x03ED && (n - offset < 14 || size < 14)) return true;
        offset += size;
        offset += offset & 1;
    }
    return true;
}

// One segment's handler; false when it would raise.
bool handle(Handler handler, std::uint8_t marker, const std::uint8_t* s, Span span, Segments& seen) {
    std::uint64_t n = span.size;
    switch (handler) {
        case Handler::Sof:
            // i16(s, 3), s[5]: struct.error / IndexError when short; other
            // depths and layer counts raise SyntaxError; the component loop
            // reads 3 bytes per record and fails on a partial last one.
            if (n < 6 || s[0] != 8 || (s[5] != 1 && s[5] != 3 && s[5] != 4) || (n - 6) % 3 != 0) return false;
            seen.height = i16be(s + 1);
            seen.width = i16be(s + 3);
            seen.frame = true;
            return true;
        case Handler::Dqt:
            // "bad quantization table marker" for a short table.
            for (std::uint64_t at = 0; at < n;) {
                std::uint64_t table = 1 + (s[at] / 16 == 0 ? 1 : 2) * 64;
                if (n - at < table) return false;
                at += table;
            }
            return true;
        case Handler::App:
            if (marker == 0xE0 && starts(s, n, "JFIF")) {
                if (n < 7) return false;  // i16(s, 5): struct.error
                // The density is read in a try block; units 1 and 2 set dpi.
                if (n >= 12 && (s[7] == 1 || s[7] == 2)) seen.dpi = true;
            } else if (marker == 0xE1 && starts(s, n, std::string_view("Exif\0\0", 6))) {
                if (seen.exif_count++ == 0) seen.exif = span;
            } else if (marker == 0xE2 && starts(s, n, std::string_view("ICC_PROFILE\0", 12))) {
                // SOF's profile fix-up reads byte 13 of the first fragment.
                if (n < 14) return false;
            } else if (marker == 0xED && starts(s, n, std::string_view("Photoshop 3.0\0", 14))) {
                if (!photoshop_is_quiet(s, n)) return false;
            } else if (marker == 0xEE && starts(s, n, "Adobe")) {
                if (n < 7) return false;  // i16(s, 5): struct.error
            } else if (marker == 0xE2 && starts(s, n, std::string_view("MPF\0", 4))) {
                seen.mp = true;
                seen.mp_index = {span.at + 4, n - 4};
            }
            if (marker == 0xE1) {
                if (seen.app1_count < Segments::kApp1Kept) seen.app1[seen.app1_count] = span;
                ++seen.app1_count;
            }
            return true;
        case Handler::Skip:
        case Handler::Com:
        case Handler::None:
            return true;
    }
    return true;
}

// jpeg_factory leaves an image with an Ultra HDR gain map a JPEG.
bool has_gain_map(FileStart& f, const Segments& seen) {
    static constexpr std::string_view needle = " hdrgm:Version=\"";
    for (int i = 0; i < seen.app1_count; ++i) {
        std::string_view text(reinterpret_cast<const char*>(f.bytes(seen.app1[i].at)), seen.app1[i].size);
        if (text.find(needle) != std::string_view::npos) return true;
    }
    return false;
}

}  // namespace

}  // namespace jpeg

// JpegImageFile._open's marker loop up to SOS, then _read_dpi_from_exif and
// jpeg_factory's MP index check.
template <>
HeaderSize PluginMirror<JpegRules>::read(FileStart& f, const JpegRules& rules) {
    using namespace jpeg;
    if (!f.has(3) || f.at(0) != 0xFF || f.at(1) != 0xD8 || f.at(2) != 0xFF) return {};
    std::uint64_t pos = 3;
    bool after_ff = true;  // the loop's `s` holds 0xFF
    Segments seen;
    for (;;) {
        // The end of the file before SOS fails the open (an IndexError or
        // struct.error) up to Pillow 12.3; 13.0 gives the size without a
        // tile, which is left to Pillow.
        if (!f.has(pos + 1)) return {};
        std::uint8_t byte = f.at(pos++);
        if (!after_ff) {
            after_ff = byte == 0xFF;  // other bytes are junk, skipped
            continue;
        }
        if (byte == 0xFF) continue;  // fill byte
        if (byte == 0x00) {
            after_ff = false;  // escaped 0xFF
            continue;
        }
        if (byte < 0xC0) return {};  // "no marker found"
        Handler handler = handler_of(byte);
        if (handler != Handler::None) {
            if (!f.has(pos + 2)) return {};
            std::uint32_t length = f.be16(pos);
            pos += 2;
            // _safe_read of length - 2 bytes: nothing for lengths below 2,
            // OSError when the file is shorter.
            Span span{pos, length > 2 ? length - 2u : 0u};
            if (!f.has(pos + span.size)) return {};
            pos += span.size;
            if (!handle(handler, byte, f.bytes(span.at), span, seen)) return {};
        }
        if (byte == 0xDA) break;
        after_ff = false;
    }
    // SOS without a frame leaves no mode: "not identified by this driver".
    if (!seen.frame) return {};
    // No more reads: the buffer stays where it is.
    if (seen.exif_count > 0 && !seen.dpi) {
        if (!rules.tiff || seen.exif_count > 1) return {};
        if (!exif_resolution_is_quiet(f.bytes(seen.exif.at), seen.exif.size, rules.quirks)) return {};
    }
    if (seen.mp) {
        if (!rules.tiff) return {};
        MpIndex index = read_mp_index(f.bytes(seen.mp_index.at), seen.mp_index.size, rules.quirks);
        if (index == MpIndex::Unusual) return {};
        if (index == MpIndex::Mpo && !rules.mpo) {
            if (seen.app1_count > Segments::kApp1Kept || !has_gain_map(f, seen)) return {};
        }
    }
    return size_of(seen.width, seen.height);
}

}  // namespace pretrain
