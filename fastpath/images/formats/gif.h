// Pillow's Gif plugin, as far as the size scan mirrors it.
#pragma once

namespace pretrain {

// The opening code reads no module setting that the size depends on.
struct GifRules {
    bool operator==(const GifRules&) const = default;
};

}  // namespace pretrain
