// What the header readers need to know of the Pillow they stand for: its
// release (each reader mirrors the opening code of the releases listed here
// and no other) and the settings of its modules that the opening code reads,
// taken under the interpreter lock by each format's plugin check.
#pragma once

#include "bmp.h"
#include "gif.h"
#include "jpeg.h"
#include "png.h"
#include "pillow_releases.h"

#include <tuple>

namespace pretrain {

// One slot per format of kFormats (format_table.h), found by its Rules type.
using FormatRules = std::tuple<PngRules, JpegRules, GifRules, BmpRules>;

struct PillowRules {
    PillowVersion version = PillowVersion::Unverified;
    bool plugin_for_extension = false;  // Image.open imports the plugin of the file's extension first
    bool preinit_done = false;          // Image.preinit() has run
    FormatRules formats;
    bool operator==(const PillowRules&) const = default;
};

}  // namespace pretrain
