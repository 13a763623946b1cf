// The TIFF directories a JPEG file carries in its APP segments (the EXIF
// block, the MP index), as far as Pillow's JPEG opening code reads them
// through TiffImagePlugin.ImageFileDirectory_v2. Plain C++.
#pragma once

#include "jpeg.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace pretrain::jpeg {

// One directory, as ImageFileDirectory_v2.load keeps it.
class Directory {
public:
    struct Entry {
        std::uint16_t tag;
        std::uint16_t type;
        std::uint32_t count;
        const std::uint8_t* value;  // count values of the type
        std::uint64_t size;
    };

    // Loads the directory at `offset` of the TIFF block [data, data + size);
    // false when Pillow's load would warn, or the directory is too large to
    // be usual.
    bool load(const std::uint8_t* data, std::size_t size, std::uint64_t offset, bool big_endian, const JpegQuirks& quirks);

    // The entry Pillow keeps for tag, or null.
    const Entry* find(std::uint16_t tag) const;
    const Entry* begin() const { return entries_.data(); }
    const Entry* end() const { return entries_.data() + count_; }
    std::uint32_t number(const Entry& entry) const;  // a SHORT or LONG value

    static constexpr std::size_t kMaxEntries = 256;

private:
    std::array<Entry, kMaxEntries> entries_;
    std::size_t count_ = 0;
    bool big_endian_ = false;
    bool first_wins_ = false;
};

// JpegImageFile._read_dpi_from_exif for an image with this EXIF segment
// (starting "Exif\0\0") and no JFIF density: true when no exception leaves
// it and nothing warns.
bool exif_resolution_is_quiet(const std::uint8_t* segment, std::size_t size, const JpegQuirks& quirks);

enum class MpIndex { Unusual, Jpeg, Mpo };

// What jpeg_factory makes of the MP index (the APP2 "MPF\0" segment without
// its 4 leading bytes): a plain JPEG, an MPO (more than one image), or
// something that raises or warns.
MpIndex read_mp_index(const std::uint8_t* data, std::size_t size, const JpegQuirks& quirks);

}  // namespace pretrain::jpeg
