// The distributions the finder reports to importlib.metadata.
#pragma once

#include "builtin_methods.h"

namespace kaplet {

// The finder's find_distributions.
extern const MethodDef kFindDistributions;

}  // namespace kaplet
