#include "gif.h"

#include "plugin_mirror.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace pretrain {

namespace {

// Reads through the file as GifImageFile does, refusing (false) wherever
// Pillow would read past the end: a short read there ends in an exception or
// in "image not found in GIF frame", never in a size.
class Blocks {
public:
    explicit Blocks(FileStart& file, std::uint64_t pos) : f_(file), pos_(pos) {}

    std::uint64_t pos() const { return pos_; }
    bool byte(std::uint8_t& value) {
        if (!f_.has(pos_ + 1)) return false;
        value = f_.at(pos_++);
        return true;
    }
    bool skip(std::uint64_t count) {
        if (!f_.has(pos_ + count)) return false;
        pos_ += count;
        return true;
    }
    // GifImageFile.data: a size byte and that many bytes; a size of 0 gives
    // None. Sets `size` and leaves `start` at the block's bytes.
    bool data(std::uint8_t& size, std::uint64_t& start) {
        if (!byte(size)) return false;
        start = pos_;
        return skip(size);
    }
    // `while self.data(): pass`: sub-blocks up to and including an empty one.
    bool skip_sub_blocks() {
        for (std::uint8_t size = 1; size != 0;) {
            std::uint64_t start;
            if (!data(size, start)) return false;
        }
        return true;
    }

private:
    FileStart& f_;
    std::uint64_t pos_;
};

// One extension of GifImageFile._seek's loop, after its "!": false where
// Pillow raises or reads past the end.
bool read_extension(FileStart& f, Blocks& blocks) {
    std::uint8_t label, size;
    std::uint64_t start;
    if (!blocks.byte(label)) return false;       // s[0] of an empty read: IndexError
    if (!blocks.data(size, start)) return false;  // the first block, None when empty
    if (label == 254) {
        // Comment: blocks are read while they have bytes; an empty first
        // block ends it there.
        return size == 0 || blocks.skip_sub_blocks();
    }
    if (label == 249 && size != 0) {
        // Graphic control: duration is i16(block, 1) (struct.error when
        // short), transparency block[3] when flags & 1 (IndexError). The
        // disposal method only chooses how the next frame is prepared.
        if (size < 3) return false;
        if ((f.at(start) & 1) && size < 4) return false;
    }
    if (label == 255 && size >= 11 && std::memcmp(f.bytes(start), "NETSCAPE2.0", 11) == 0) {
        // Application NETSCAPE2.0: the loop block is read with data() before
        // the skip, whatever it holds. When that read meets the terminator,
        // the skip goes on over whatever follows as sub-blocks.
        if (!blocks.data(size, start)) return false;
    }
    // Every other case, an empty first block included, goes on to the skip:
    // after an empty first block it reads the following bytes as sub-blocks.
    return blocks.skip_sub_blocks();
}

}  // namespace

// GifImageFile._open and _seek(0): the screen descriptor and its palette,
// then blocks up to the first image descriptor, which may widen the size.
// Identical in every release listed in code_is_own.
template <>
HeaderSize PluginMirror<GifRules>::read(FileStart& f, const GifRules&) {
    // _accept: "GIF87a" or "GIF89a".
    if (!f.has(13) || std::memcmp(f.bytes(0), "GIF8", 4) != 0 || (f.at(4) != '7' && f.at(4) != '9') || f.at(5) != 'a') {
        return {};
    }
    std::uint64_t width = f.le16(6), height = f.le16(8);
    std::uint8_t flags = f.at(10);
    Blocks blocks(f, 13);
    // A short global palette can make _is_palette_needed index past its end.
    if ((flags & 128) && !blocks.skip(3u << ((flags & 7) + 1))) return {};
    std::uint8_t kind;
    if (!blocks.byte(kind)) return {};
    for (;;) {
        if (kind == ';') return {};  // "no more images" / "image not found in GIF frame"
        if (kind == '!') {
            if (!read_extension(f, blocks)) return {};
        } else if (kind == ',') {
            std::uint64_t at = blocks.pos();
            if (!blocks.skip(9)) return {};  // i16 of a short read: struct.error
            std::uint64_t x1 = f.le16(at) + f.le16(at + 4);
            std::uint64_t y1 = f.le16(at + 2) + f.le16(at + 6);
            std::uint8_t image_flags = f.at(at + 8);
            if ((image_flags & 128) && !blocks.skip(3u << ((image_flags & 7) + 1))) return {};
            std::uint8_t bits;
            if (!blocks.byte(bits)) return {};  // read(1)[0]: IndexError
            // A frame reaching past the screen widens the size (its bomb
            // check is Image.open's own on the same size). Disposal 2 and 3
            // fill the frame's extent, which is never larger.
            return size_of(std::max(x1, width), std::max(y1, height));
        }
        // Any other byte is passed over one at a time.
        if (!blocks.byte(kind)) return {};
    }
}

}  // namespace pretrain
