// Whether pathlib is exactly the standard library's (its classes, their
// methods and slots, the posix flavour and the functions it calls), so that
// posix_paths.h may work on its PosixPath objects natively. The verdict is
// kept once per interpreter with a fingerprint of what the check read: a
// scan after another looks again only when something it depends on changed.
#pragma once

#include "fingerprint.h"
#include "interpreter_cache.h"
#include "ref.h"

#include <cstdint>

namespace pretrain {

class PathlibCheck {
public:
    // Kept by InterpreterCache under kKey.
    static constexpr const char* kKey = "pretrain.pathlib_check";
    static constexpr const char* kTypeName = "__kaplet__.pathlib_check";

    // Checks pathlib again, in a few comparisons when nothing the last
    // check read changed.
    void recheck();
    // Counts the checks made anew: what was derived from an older verdict
    // is out of date.
    std::uint64_t generation() const noexcept { return generation_; }

    int traverse(visitproc visit, void* arg) const;
    void clear() noexcept;

    // The verdict: null where pathlib is not the standard library's.
    kaplet::Ref path;   // pathlib.Path
    kaplet::Ref posix;  // pathlib.PosixPath
    kaplet::Ref drv_slot, root_slot, parts_slot, str_slot;  // its member descriptors

private:
    void check();

    Fingerprint checked_;  // what the last check read
    std::uint64_t generation_ = 0;
};

}  // namespace pretrain
