// Pillow's Bmp plugin, as far as the size scan mirrors it.
#pragma once

namespace pretrain {

// The opening code reads no module setting that the size depends on.
struct BmpRules {
    bool operator==(const BmpRules&) const = default;
};

}  // namespace pretrain
