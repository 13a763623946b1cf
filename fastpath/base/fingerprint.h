// What a check of library objects read, so that the check need not be made
// again while none of it changed. Reads only; runs no Python code.
#pragma once

#include "ref.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace pretrain {

// What a check read: each dictionary with its version tag (which changes
// with every change of the dictionary) and each function with its code.
// While a Recording is alive, the tests below add to it what they read, so
// that a later `unchanged()` tells in a few comparisons whether the check
// would still come out the same.
class Fingerprint {
public:
    bool unchanged() const;
    bool empty() const noexcept { return dicts_.empty(); }
    void clear() noexcept;
    void add_dict(PyObject* dict);
    void add_function(PyObject* function);
    int traverse(visitproc visit, void* arg) const;

private:
    std::vector<std::pair<kaplet::Ref, std::uint64_t>> dicts_;
    std::vector<std::pair<kaplet::Ref, kaplet::Ref>> functions_;  // function, its code
};

// Records into a fingerprint for as long as it lives (one check, under the
// interpreter lock).
class Recording {
public:
    explicit Recording(Fingerprint& into) noexcept;
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;
    // The fingerprint being recorded into, or null.
    static Fingerprint* current() noexcept;

private:
    Fingerprint* saved_;
};

}  // namespace pretrain
