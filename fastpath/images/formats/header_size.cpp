#include "header_size.h"

#include "file_start.h"
#include "format_table.h"

namespace pretrain {

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
