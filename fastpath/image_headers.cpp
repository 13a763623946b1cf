#include "image_headers.h"

#include "file_start.h"
#include "formats/pillow_rules.h"

#include <array>

namespace pretrain {

bool FileStart::has(std::uint64_t end) {
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

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    // Eight bytes a step: table[k][b] is the remainder of byte b followed
    // by k zero bytes.
    static const std::array<std::array<std::uint32_t, 256>, 8> table = [] {
        std::array<std::array<std::uint32_t, 256>, 8> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][n] = c;
        }
        for (std::size_t k = 1; k < 8; ++k) {
            for (std::uint32_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
        }
        return t;
    }();
    crc = ~crc;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint32_t low =
            crc ^ (data[i] | (data[i + 1] << 8) | (data[i + 2] << 16) | (std::uint32_t(data[i + 3]) << 24));
        crc = table[7][low & 0xFF] ^ table[6][(low >> 8) & 0xFF] ^ table[5][(low >> 16) & 0xFF] ^ table[4][low >> 24] ^
              table[3][data[i + 4]] ^ table[2][data[i + 5]] ^ table[1][data[i + 6]] ^ table[0][data[i + 7]];
    }
    for (; i < size; ++i) crc = table[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

HeaderSize size_of(std::uint64_t width, std::uint64_t height) {
    HeaderSize size;
    size.known = width != 0 && height != 0;
    size.width = width;
    size.height = height;
    return size;
}

HeaderSize read_header_size(const std::string& path, unsigned formats, const PillowRules& rules) {
    if (rules.version == PillowVersion::Unverified) return {};
    FileStart f(path);
    if (!f.is_open() || !f.has(4)) return {};
    std::uint8_t first = f.at(0);
    HeaderSize size;
    ImageFormat format;
    if (first == 0x89 && (formats & kPng)) {
        size = png::read(f, rules.version, rules.png), format = kPng;
    } else if (first == 0xFF && (formats & kJpeg)) {
        size = jpeg::read(f, rules.version, rules.jpeg), format = kJpeg;
    } else if (first == 'G' && (formats & kGif)) {
        size = gif::read(f, rules.version, rules.gif), format = kGif;
    } else if (first == 'B' && (formats & kBmp)) {
        size = bmp::read(f, rules.version, rules.bmp), format = kBmp;
    } else {
        return {};
    }
    if (!size.known) return {};
    size.format = format;
    size.prefix.assign(reinterpret_cast<const char*>(f.bytes(0)), f.available(16));
    return size;
}

}  // namespace pretrain
