// Pillow's Png plugin, as far as the size scan mirrors it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pretrain {

// Where the plugin's opening code differs between the releases listed, one
// field per difference (set by the code check from the release).
struct PngQuirks {
    // chunk_tRNS, chunk_gAMA and chunk_cHRM refuse a short chunk ("Truncated
    // ... chunk", 13.0.0 on); before, tRNS and gAMA fail in their reads and
    // cHRM wants a whole number of integers.
    bool checks_short_chunks = false;
    // PngImageFile._seek(0) fills the first frame's disposal and crops it
    // to info["bbox"] (before 13.0.0).
    bool crops_first_disposal = false;
    bool operator==(const PngQuirks&) const = default;
};

// The settings of Pillow's modules that the plugin's opening code reads.
struct PngRules {
    bool load_truncated = false;           // ImageFile.LOAD_TRUNCATED_IMAGES
    std::uint64_t max_text_chunk = 0;      // PngImagePlugin.MAX_TEXT_CHUNK, positive
    std::int64_t max_text_memory = 0;      // PngImagePlugin.MAX_TEXT_MEMORY, saturated
    PngQuirks quirks;
    bool operator==(const PngRules&) const = default;
};

namespace png {

// The chunk types PngStream has a handler (chunk_<cid>) for, as the reader
// handles them.
std::size_t handler_count();
std::string_view handler_cid(std::size_t i);

// What chunk_tRNS does with each of PngImagePlugin._MODES's modes.
enum class Transparency { none, grey, rgb };

struct Mode {
    const char* name;
    Transparency transparency;
};

// PngImagePlugin._MODES: (bit depth, colour type) -> the image mode.
std::optional<Mode> mode_of(unsigned depth, unsigned colour);
constexpr int kModeCount = 15;

}  // namespace png
}  // namespace pretrain
