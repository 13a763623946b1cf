#include "signal_checks.h"

#include "error.h"

namespace kaplet {

void SignalChecks::check_now() { check(PyErr_CheckSignals()); }

}  // namespace kaplet
