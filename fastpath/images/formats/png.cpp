#include "png.h"

#include "binary.h"
#include "plugin_mirror.h"
#include "zlib_calls.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>

namespace pretrain {
namespace png {

using binary::i32be;

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

namespace {

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
    explicit Stream(const PngRules& rules) : rules_(rules) {}

    // A handler: true when it finishes with no exception and no warning.
    using Handler = bool (Stream::*)(const std::uint8_t* s, std::uint32_t length);
    struct Chunk {
        std::string_view cid;
        Handler handle;  // null for chunk_IDAT, which ends the header
    };
    // PngStream's handlers, chunk_<cid>: exactly those its opening code has.
    static const Chunk kHandlers[];

    // PngStream.call of the chunk, or the plugin's unknown-chunk branch.
    bool handle(const Chunk* chunk, const std::uint8_t* s, std::uint32_t length) {
        if (chunk != nullptr && chunk->handle == &Stream::ihdr) return ihdr(s, length);
        if (!mode_) return false;  // every other handler expects IHDR first
        // PngImageFile._open: no chunk_<cid> handler, the chunk is skipped.
        return chunk == nullptr || (this->*chunk->handle)(s, length);
    }

    // After chunk_IDAT: the rest of PngImageFile._open, then ImageFile's
    // check of mode and size.
    HeaderSize finish() const {
        if (!mode_) return {};
        // PngImageFile._seek(0) of an APNG (crops_first_disposal): a dispose_op of
        // OP_BACKGROUND or OP_PREVIOUS fills an image of the full size and
        // crops it to the frame (the crop's pixel check stays below the
        // image's own).
        if (frames_ && rules_.quirks.crops_first_disposal && (disposal_ == 1 || disposal_ == 2)) {
            // A text chunk's "bbox" after the frame control: the crop rounds
            // a string (TypeError), or an empty one leaves the extent unset
            // (AttributeError).
            if (extent_is_text_) return {};
            if (width_ * height_ > (std::uint64_t(1) << 24) || frame_area_ == 0) return {};
        }
        return size_of(width_, height_);
    }

private:
    // chunk_PLTE, chunk_eXIf: nothing to fail.
    bool skip(const std::uint8_t*, std::uint32_t) { return true; }
    // chunk_IEND and chunk_fdAT end the header early, or fail.
    bool stop(const std::uint8_t*, std::uint32_t) { return false; }
    // chunk_sRGB, chunk_pHYs: a length check, then reads within it.
    template <std::uint32_t n>
    bool sized(const std::uint8_t*, std::uint32_t length) { return at_least(length, n, rules_) != Length::refused; }

    bool ihdr(const std::uint8_t* s, std::uint32_t length) {
        // A second header would reset the size and mode: left to Pillow.
        if (mode_) return false;
        // chunk_IHDR: "Truncated IHDR chunk", or no size at all.
        if (length < 13) return false;
        mode_ = mode_of(s[8], s[9]);
        // chunk_IHDR: "unknown filter category"; no mode: ImageFile refuses.
        if (!mode_ || s[11] != 0) return false;
        width_ = i32be(s);
        height_ = i32be(s + 4);
        return true;
    }

    // chunk_tRNS: i16 reads of a grey (2 bytes) or RGB (6 bytes) colour;
    // a short chunk is a struct.error, or "Truncated tRNS chunk".
    bool trns(const std::uint8_t*, std::uint32_t length) {
        if (mode_->transparency == Transparency::none) return true;
        std::uint32_t need = mode_->transparency == Transparency::rgb ? 6 : 2;
        if (rules_.quirks.checks_short_chunks) return at_least(length, need, rules_) != Length::refused;
        return length >= need;
    }

    // chunk_gAMA: i32 of 4 bytes (struct.error), or "Truncated gAMA chunk".
    bool gama(const std::uint8_t*, std::uint32_t length) {
        if (rules_.quirks.checks_short_chunks) return at_least(length, 4, rules_) != Length::refused;
        return length >= 4;
    }

    // chunk_cHRM: struct.unpack of len(s) // 4 integers needs a multiple of
    // 4 bytes; or the first 32 bytes, "Truncated cHRM chunk".
    bool chrm(const std::uint8_t*, std::uint32_t length) {
        if (rules_.quirks.checks_short_chunks) return at_least(length, 32, rules_) != Length::refused;
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
    bool iccp(const std::uint8_t* s, std::uint32_t length) {
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
        std::uint32_t count = i32be(s);
        if (count == 0 || count > 0x80000000u) return false;
        frames_ = true;
        return true;
    }

    // chunk_fcTL: "APNG contains truncated fcTL chunk", "frame sequence
    // errors" (0 first, then one up), "invalid frames" (outside the image).
    bool fctl(const std::uint8_t* s, std::uint32_t length) {
        Length size = at_least(length, 26, rules_);
        if (size != Length::enough) return size == Length::skipped;
        std::int64_t seq = i32be(s);
        if (seq != sequence_ + 1) return false;
        sequence_ = seq;
        std::uint64_t width = i32be(s + 4), height = i32be(s + 8), x = i32be(s + 12), y = i32be(s + 16);
        if (x + width > width_ || y + height > height_) return false;
        frame_area_ = width * height;
        extent_is_text_ = false;
        disposal_ = s[24];
        return true;
    }

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

const Stream::Chunk Stream::kHandlers[] = {
    {"iCCP", &Stream::iccp},     {"IHDR", &Stream::ihdr},     {"IDAT", nullptr},       {"IEND", &Stream::stop},
    {"PLTE", &Stream::skip},     {"tRNS", &Stream::trns},     {"gAMA", &Stream::gama}, {"cHRM", &Stream::chrm},
    {"sRGB", &Stream::sized<1>}, {"pHYs", &Stream::sized<9>}, {"tEXt", &Stream::text}, {"zTXt", &Stream::ztxt},
    {"iTXt", &Stream::itxt},     {"eXIf", &Stream::skip},     {"acTL", &Stream::actl}, {"fcTL", &Stream::fctl},
    {"fdAT", &Stream::stop},
};

const Stream::Chunk* handler_of(std::string_view cid) {
    for (const Stream::Chunk& chunk : Stream::kHandlers) {
        if (chunk.cid == cid) return &chunk;
    }
    return nullptr;
}

// ChunkStream.read: is_cid, rb"\w\w\w\w".
bool is_chunk_id(const std::uint8_t* id) {
    for (int i = 0; i < 4; ++i) {
        std::uint8_t c = id[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}

}  // namespace

std::size_t handler_count() { return std::size(Stream::kHandlers); }

std::string_view handler_cid(std::size_t i) { return Stream::kHandlers[i].cid; }

}  // namespace png

// PngImagePlugin: the chunks up to the first IDAT, each through its
// handler and ChunkStream.crc.
template <>
HeaderSize PluginMirror<PngRules>::read(FileStart& f, const PngRules& rules) {
    using namespace png;
    static const std::uint8_t magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (!f.has(8) || std::memcmp(f.bytes(0), magic, 8) != 0) return {};
    Stream stream(rules);
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
        const Stream::Chunk* chunk = handler_of(cid);
        // chunk_IDAT ends the header with EOFError, before any checksum.
        if (chunk != nullptr && chunk->handle == nullptr) return stream.finish();
        if (!f.has(pos + 12 + std::uint64_t(length))) return {};
        const std::uint8_t* data = f.bytes(pos + 8);
        if (!stream.handle(chunk, data, length)) return {};
        // ChunkStream.crc: "bad header checksum"; with LOAD_TRUNCATED_IMAGES
        // ancillary chunks (bit 5 of the first byte) go unchecked.
        bool checked = !(rules.load_truncated && (id[0] >> 5 & 1));
        if (checked && crc32(data, length, crc32(id, 4)) != f.be32(pos + 8 + length)) return {};
        pos += 12 + std::uint64_t(length);
    }
}

}  // namespace pretrain
