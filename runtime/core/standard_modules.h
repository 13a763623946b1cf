// Standard-library modules imported once per process (per library) and kept.
#pragma once

#include "ref.h"

namespace kaplet {

// The module of that name, imported with the interpreter's plain import the
// first time and then served from this library's cache.
Ref standard_module(const char* name);

}  // namespace kaplet
