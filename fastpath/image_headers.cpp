#include "image_headers.h"

#include "file_start.h"
#include "formats/formats.h"

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
    for (const FormatDescriptor& descriptor : kFormats) {
        if (f.at(0) != descriptor.first_byte || !(formats & descriptor.format)) continue;
        HeaderSize size = descriptor.read(f, rules);
        if (!size.known) return {};
        size.format = descriptor.format;
        size.prefix.assign(reinterpret_cast<const char*>(f.bytes(0)), f.available(16));
        return size;
    }
    return {};
}

}  // namespace pretrain
