// Makes an object's references part of the running coroutine's frame (see
// frame_roots.h), and tells an owner with a python_ran() each time the frame
// resumes after an await. Declared as the owner's last member: it joins the
// frame only once every other member exists, and leaves it before they go,
// so the collector never visits a half-made or half-destroyed owner.
#pragma once

#include "frame_roots.h"

namespace kaplet {

template <class Owner>
class FrameReport final : public FrameRoot {
public:
    explicit FrameReport(Owner& owner) noexcept : owner_(owner) {}
    int traverse(visitproc visit, void* arg) const override { return owner_.traverse(visit, arg); }
    void resumed() noexcept override {
        if constexpr (requires { owner_.python_ran(); }) owner_.python_ran();
    }

private:
    Owner& owner_;
};

}  // namespace kaplet
