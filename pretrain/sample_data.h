// Where the bundled sample dataset (the digits, one folder per class) lives.
#pragma once

#include "ref.h"

namespace pretrain {

// $PRETRAIN_SAMPLE_DATA when set. Otherwise the digits archive installed
// beside the library (<library directory>/pretrain_sample_data/digits.zip),
// unpacked on first use into the user's cache directory
// (<cache>/pretrain/sample-<digest of the archive>/digits, where <cache> is
// $XDG_CACHE_HOME or ~/.cache, %LOCALAPPDATA% on Windows) and found there
// afterwards. A str; FileNotFoundError when neither exists.
kaplet::Ref sample_dataset_directory();

// The dataset `python -m <module> [DIR]` works on: DIR when the module named
// module_name runs as the main module and the command line gives one, else
// the sample dataset. SystemExit with a usage line when DIR is not a
// directory or more than one argument is given.
kaplet::Ref command_line_dataset_directory(const kaplet::Ref& module_name, const char* usage);

}  // namespace pretrain
