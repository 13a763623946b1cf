// Where the bundled sample dataset (the digits, one folder per class) lives.
#pragma once

#include "ref.h"

namespace pretrain {

// $PRETRAIN_SAMPLE_DATA when set, else the digits archive installed beside
// this library (<library directory>/pretrain_sample_data/digits.zip),
// unpacked on first use into the user's cache. The Python package
// pretrain_sample_data, installed in that same folder, holds these rules
// once: this returns its sample_digits(archive). A str; FileNotFoundError
// when neither exists.
kaplet::Ref sample_dataset_directory();

// The dataset `python -m <module> [DIR]` works on: DIR when the module named
// module_name runs as the main module and the command line gives one, else
// the sample dataset. SystemExit with a usage line when DIR is not a
// directory or more than one argument is given.
kaplet::Ref command_line_dataset_directory(const kaplet::Ref& module_name, const char* usage);

}  // namespace pretrain
