// The resource reader the finder hands to importlib.resources.
#pragma once

#include "builtin_methods.h"

namespace kaplet {

// The finder's get_resource_reader.
extern const MethodDef kGetResourceReader;

}  // namespace kaplet
