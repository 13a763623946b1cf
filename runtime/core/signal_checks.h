// Lets a long native loop notice signals where the interpreter would: a
// loop that runs no Python code asks for the pending signal handlers to run
// every few thousand steps or about every 10 ms, whichever comes first, and
// stops with the exception a handler raises (KeyboardInterrupt for Ctrl-C).
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>

namespace kaplet {

class SignalChecks {
public:
    static constexpr std::uint32_t kSteps = 4096;
    static constexpr std::chrono::milliseconds kInterval{10};

    // One step of a loop that holds the interpreter lock: throws the
    // exception a signal handler raised.
    void step() {
        if (due()) check_now();
    }
    // One step of a loop that runs without the interpreter lock (`saved` is
    // what PyEval_SaveThread returned; it is updated). False when a handler
    // raised: the loop must stop, and the exception is pending once the
    // lock is taken again.
    bool step_released(PyThreadState*& saved) {
        if (!due()) return true;
        PyEval_RestoreThread(saved);
        bool ok = PyErr_CheckSignals() == 0;
        saved = PyEval_SaveThread();
        return ok;
    }
    // Runs the pending handlers now (the interpreter lock held); throws.
    void check_now();

private:
    bool due() {
        if (++steps_ % 64 != 0 && steps_ < kSteps) return false;
        auto now = std::chrono::steady_clock::now();
        if (steps_ < kSteps && now - last_ < kInterval) return false;
        steps_ = 0;
        last_ = now;
        return true;
    }
    std::uint32_t steps_ = 0;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace kaplet
