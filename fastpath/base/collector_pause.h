#pragma once

#include <Python.h>

namespace pretrain {

// Defers the cycle collector over a native loop that only makes objects it
// keeps and runs no Python code: the collections the allocations would
// trigger could free nothing the loop made. The collector's own state is
// put back afterwards (a collector the caller disabled stays disabled).
class CollectorPause {
public:
    CollectorPause() noexcept : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int was_enabled_;
};

}  // namespace pretrain
