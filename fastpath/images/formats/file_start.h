// The start of an image file, read on demand up to a limit, for the header
// readers. Plain C++: used without the interpreter lock.
#pragma once

#include "binary.h"
#include "platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pretrain {

class FileStart {
public:
    // Opens path only when it is a regular file (see platform.h).
    explicit FileStart(const std::string& path) : file_(path) {}

    bool is_open() const noexcept { return file_.is_open(); }
    // True when bytes [0, end) are available.
    bool has(std::uint64_t end);
    // The number of bytes the file has, reading up to `end` to find out.
    std::uint64_t available(std::uint64_t end) {
        has(end);
        return data_.size() < end ? data_.size() : end;
    }
    std::uint8_t at(std::uint64_t i) const { return data_[static_cast<std::size_t>(i)]; }
    const std::uint8_t* bytes(std::uint64_t i) const { return data_.data() + i; }
    std::uint32_t be16(std::uint64_t i) const { return binary::i16be(bytes(i)); }
    std::uint32_t le16(std::uint64_t i) const { return binary::i16le(bytes(i)); }
    std::uint32_t be32(std::uint64_t i) const { return binary::i32be(bytes(i)); }
    std::uint32_t le32(std::uint64_t i) const { return binary::i32le(bytes(i)); }

    static constexpr std::uint64_t kLimit = 1 << 20;

private:
    kaplet::platform::ReadOnlyFile file_;
    std::vector<std::uint8_t> data_;
    bool at_end_ = false;
};

}  // namespace pretrain
