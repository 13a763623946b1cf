#include "image_headers.h"

#include "platform.h"

#include <array>
#include <cstring>
#include <vector>

namespace pretrain {

namespace {

// The start of a file, read on demand up to a limit.
class FileStart {
public:
    explicit FileStart(const std::string& path) : file_(path) {}

    // True when bytes [0, end) are available.
    bool has(std::uint64_t end) {
        if (end <= data_.size()) return true;
        if (end > kLimit || !file_.is_open() || at_end_) return false;
        std::size_t want = static_cast<std::size_t>(end > 2 * data_.size() + 4096 ? end : 2 * data_.size() + 4096);
        if (want > kLimit) want = kLimit;
        std::size_t old = data_.size();
        data_.resize(want);
        long long got = file_.read_at(old, data_.data() + old, want - old);
        if (got < 0) {
            data_.resize(old);
            at_end_ = true;
            return false;
        }
        data_.resize(old + static_cast<std::size_t>(got));
        if (data_.size() < want) at_end_ = true;
        return end <= data_.size();
    }
    std::uint8_t at(std::uint64_t i) const { return data_[static_cast<std::size_t>(i)]; }
    const std::uint8_t* bytes(std::uint64_t i) const { return data_.data() + i; }
    std::uint32_t be16(std::uint64_t i) const { return (at(i) << 8) | at(i + 1); }
    std::uint32_t le16(std::uint64_t i) const { return at(i) | (at(i + 1) << 8); }
    std::uint32_t be32(std::uint64_t i) const { return (be16(i) << 16) | be16(i + 2); }
    std::uint32_t le32(std::uint64_t i) const { return le16(i) | (le16(i + 2) << 16); }

private:
    static constexpr std::uint64_t kLimit = 1 << 20;
    kaplet::platform::ReadOnlyFile file_;
    std::vector<std::uint8_t> data_;
    bool at_end_ = false;
};

HeaderSize size_of(std::uint64_t width, std::uint64_t height) {
    HeaderSize size;
    size.known = width != 0 && height != 0;
    size.width = width;
    size.height = height;
    return size;
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// PngImagePlugin: the IHDR chunk, then only chunks whose handlers cannot
// fail on well-formed data, each with a good checksum, up to the first IDAT.
HeaderSize png(FileStart& f) {
    static const std::uint8_t magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (!f.has(8) || std::memcmp(f.bytes(0), magic, 8) != 0) return {};
    std::uint64_t pos = 8;
    std::uint64_t width = 0, height = 0;
    bool first = true;
    for (;;) {
        if (!f.has(pos + 8)) return {};
        std::uint32_t length = f.be32(pos);
        char id[5] = {};
        std::memcpy(id, f.bytes(pos + 4), 4);
        std::string_view cid(id, 4);
        if (cid == "IDAT") return first ? HeaderSize{} : size_of(width, height);
        if (!f.has(pos + 12 + std::uint64_t(length))) return {};
        const std::uint8_t* data = f.bytes(pos + 8);
        if (crc32(data, length, crc32(f.bytes(pos + 4), 4)) != f.be32(pos + 8 + length)) return {};
        if (first) {
            if (cid != "IHDR" || length != 13) return {};
            width = f.be32(pos + 8);
            height = f.be32(pos + 12);
            std::uint8_t depth = data[8], colour = data[9];
            bool known_mode = (colour == 0 && (depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16)) ||
                              (colour == 3 && (depth == 1 || depth == 2 || depth == 4 || depth == 8)) ||
                              ((colour == 2 || colour == 4 || colour == 6) && (depth == 8 || depth == 16));
            if (!known_mode || data[11] != 0) return {};
            first = false;
        } else if (cid == "PLTE" || (cid == "gAMA" && length == 4) || (cid == "sRGB" && length >= 1) ||
                   (cid == "cHRM" && length % 4 == 0) || (cid == "pHYs" && length == 9 && data[8] == 1)) {
            // handled by Pillow without a way to fail
        } else {
            return {};
        }
        pos += 12 + std::uint64_t(length);
    }
}

// JpegImagePlugin: markers from SOI to SOS, each segment complete; only
// segments whose handlers cannot fail and that leave a plain JPEG (no MPO
// index, no EXIF resolution to parse, no Photoshop resources).
HeaderSize jpeg(FileStart& f) {
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

// GifImagePlugin: the screen descriptor and its palette, extension blocks,
// and the first image descriptor, which may widen the size.
HeaderSize gif(FileStart& f) {
    if (!f.has(13) || std::memcmp(f.bytes(0), "GIF8", 4) != 0 || (f.at(4) != '7' && f.at(4) != '9') || f.at(5) != 'a') {
        return {};
    }
    std::uint64_t width = f.le16(6), height = f.le16(8);
    std::uint8_t flags = f.at(10);
    std::uint64_t pos = 13;
    if (flags & 128) pos += 3u << ((flags & 7) + 1);
    for (;;) {
        if (!f.has(pos + 1)) return {};
        std::uint8_t kind = f.at(pos);
        if (kind == '!') {
            if (!f.has(pos + 3)) return {};
            std::uint8_t label = f.at(pos + 1);
            std::uint8_t first_block = f.at(pos + 2);
            if (label == 249) {
                if (first_block != 4 || !f.has(pos + 7)) return {};
                if (((f.at(pos + 3) >> 2) & 7) >= 2) return {};  // disposal makes images
            } else if (label == 255 || label == 254 || label == 1) {
                if (first_block == 0) return {};
            } else {
                return {};
            }
            pos += 2;
            for (;;) {  // sub-blocks up to the empty one
                if (!f.has(pos + 1)) return {};
                std::uint8_t size = f.at(pos);
                pos += 1 + size;
                if (size == 0) break;
            }
        } else if (kind == ',') {
            if (!f.has(pos + 11)) return {};
            std::uint64_t x1 = f.le16(pos + 1) + f.le16(pos + 5);
            std::uint64_t y1 = f.le16(pos + 3) + f.le16(pos + 7);
            std::uint8_t image_flags = f.at(pos + 9);
            std::uint64_t after = pos + 10 + ((image_flags & 128) ? (3u << ((image_flags & 7) + 1)) : 0);
            if (!f.has(after + 1)) return {};
            if (x1 > width || y1 > height) return {};  // widening checks its own size; Pillow does it
            return size_of(width, height);
        } else {
            return {};
        }
    }
}

// BmpImagePlugin: a complete info header of a supported kind, uncompressed,
// with a supported depth and palette size.
HeaderSize bmp(FileStart& f) {
    if (!f.has(18) || f.at(0) != 'B' || f.at(1) != 'M') return {};
    std::uint32_t header_size = f.le32(14);
    if (!f.has(14 + std::uint64_t(header_size))) return {};
    std::uint64_t width, height;
    std::uint32_t bits, compression, colors = 0;
    if (header_size == 12) {
        width = f.le16(18);
        height = f.le16(20);
        bits = f.le16(24);
        compression = 0;
    } else if (header_size == 40 || header_size == 52 || header_size == 56 || header_size == 64 ||
               header_size == 108 || header_size == 124) {
        width = f.le32(18);
        bool y_flip = f.at(25) == 0xFF;
        height = y_flip ? (std::uint64_t(1) << 32) - f.le32(22) : f.le32(22);
        bits = f.le16(28);
        compression = f.le32(30);
        colors = f.le32(46);
    } else {
        return {};
    }
    if (compression != 0) return {};
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return {};
    if (bits <= 8) {
        std::uint64_t palette = colors != 0 ? colors : (std::uint64_t(1) << bits);
        if (palette == 0 || palette > 65536) return {};
    }
    return size_of(width, height);
}

}  // namespace

HeaderSize read_header_size(const std::string& path, unsigned formats) {
    FileStart f(path);
    if (!f.has(4)) return {};
    std::uint8_t first = f.at(0);
    HeaderSize size;
    ImageFormat format;
    if (first == 0x89 && (formats & kPng)) {
        size = png(f), format = kPng;
    } else if (first == 0xFF && (formats & kJpeg)) {
        size = jpeg(f), format = kJpeg;
    } else if (first == 'G' && (formats & kGif)) {
        size = gif(f), format = kGif;
    } else if (first == 'B' && (formats & kBmp)) {
        size = bmp(f), format = kBmp;
    } else {
        return {};
    }
    if (!size.known) return {};
    size.format = format;
    std::uint64_t prefix = 16;
    while (prefix > 0 && !f.has(prefix)) --prefix;  // a file shorter than 16 bytes
    size.prefix.assign(reinterpret_cast<const char*>(f.bytes(0)), prefix);
    return size;
}

}  // namespace pretrain
