#include "frame_roots.h"

namespace kaplet {

namespace {
thread_local FrameRoots* t_running = nullptr;
}

FrameRoot::FrameRoot() noexcept {
    if (t_running) t_running->link(this);
}

FrameRoot::~FrameRoot() {
    if (next == nullptr) return;
    prev->next = next;
    next->prev = prev;
}

void FrameRoots::link(FrameLink* node) noexcept {
    node->prev = head_.prev;
    node->next = &head_;
    head_.prev->next = node;
    head_.prev = node;
}

// A root that outlives its frame (it should not) is detached, not left dangling.
FrameRoots::~FrameRoots() {
    for (FrameLink* node = head_.next; node != &head_;) {
        FrameLink* following = node->next;
        node->prev = node->next = nullptr;
        node = following;
    }
}

int FrameRoots::traverse(visitproc visit, void* arg) const {
    for (const FrameLink* node = head_.next; node != &head_; node = node->next) {
        if (int r = static_cast<const FrameRoot*>(node)->traverse(visit, arg)) return r;
    }
    return 0;
}

void FrameRoots::resumed() noexcept {
    for (FrameLink* node = head_.next; node != &head_; node = node->next) static_cast<FrameRoot*>(node)->resumed();
}

FrameRoots::Running::Running(FrameRoots& roots) noexcept : saved_(std::exchange(t_running, &roots)) {}
FrameRoots::Running::~Running() { t_running = saved_; }

}  // namespace kaplet
