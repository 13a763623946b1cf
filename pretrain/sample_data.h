// Where the bundled sample dataset (the digits, one folder per class) lives.
#pragma once

#include "ref.h"

namespace pretrain {

// $PRETRAIN_SAMPLE_DATA when set; else the installed copy beside the library
// (<library directory>/pretrain_sample_data/digits); else the source
// checkout's data/digits. A str.
kaplet::Ref sample_dataset_directory();

}  // namespace pretrain
