// Tests that a library object is still the one its library defined, so that a
// fast path may do natively what the object's Python code would do. Each test
// only reads dictionaries and object fields; none runs Python code.
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

// The value under name in dict (an exact dict), or a null Ref.
kaplet::Ref dict_entry(PyObject* dict, const char* name);

// The module object sys.modules holds under name, or a null Ref.
kaplet::Ref loaded_module(const char* name);

// True when obj is a plain function named `name`, written in `module`'s own
// source file and running with that module's globals. Static methods,
// class methods and properties are looked through to their function.
bool defined_in(PyObject* obj, PyObject* module, const char* name);

// True when the module's global `name` is its own function of that name.
bool own_function(PyObject* module, const char* name);

// True when `type` holds `name` in its own dictionary as one of its module's
// functions (looked through as defined_in does).
bool own_method(PyObject* type, PyObject* module, const char* name);

// True when none of the classes of type's method resolution order before
// `owner` defines `name`, so that attribute lookups reach owner's.
bool inherited_from(PyTypeObject* type, PyTypeObject* owner, const char* name);

}  // namespace pretrain
