// Reading a whole file through the built-in open, closing it afterwards.
#pragma once

#include "ref.h"

namespace kaplet {

// open(path, mode, buffering[, encoding]).read(), then close(); a failing
// read wins over a failing close.
Ref read_whole_file(PyObject* path, const char* mode, int buffering, PyObject* encoding = nullptr);

// The built-in open.
Ref builtin_open();

}  // namespace kaplet
