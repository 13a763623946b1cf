// The Pillow releases whose plugin code the header readers were checked
// against, one by one; any other release is read by Pillow alone.
#pragma once

namespace pretrain {

enum class PillowVersion : unsigned char { Unverified, V11_3_0, V12_0_0, V12_1_0, V12_1_1, V12_2_0, V12_3_0, V13_0_0 };

// The release named by PIL.__version__ (an exact match of the text), or
// Unverified. Needs the interpreter lock.
PillowVersion loaded_pillow_version();

}  // namespace pretrain
