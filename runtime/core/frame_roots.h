// References that a suspended native coroutine keeps in its C++ frame,
// reported to the cycle collector as an interpreter frame reports its locals.
//
// A coroutine body declares every Python reference that lives across a
// co_await as a FrameRef (or, for a container of references, a FrameRoot
// of its own):
//
//     FrameRef category_image_map = new_dict();
//     for (const Ref& path : iterate(paths)) { ... co_await ...; }   // iterate registers itself
//
// A FrameRoot constructed while a native coroutine body runs on this thread
// links itself into that coroutine's list and unlinks when destroyed;
// constructed anywhere else it is an ordinary holder. The coroutine tells
// its roots each time the body resumes after an await, so an object that
// caches what it found out about Python objects checks again without the
// body having to remember it.
#pragma once

#include "ref.h"

namespace kaplet {

struct FrameLink {
    FrameLink* prev = nullptr;
    FrameLink* next = nullptr;
};

class FrameRoot : private FrameLink {
public:
    FrameRoot(const FrameRoot&) = delete;
    FrameRoot& operator=(const FrameRoot&) = delete;
    // Visits the references this root holds.
    virtual int traverse(visitproc visit, void* arg) const = 0;
    // The frame resumes after an await: Python code has run meanwhile.
    virtual void resumed() noexcept {}

protected:
    FrameRoot() noexcept;
    ~FrameRoot();

private:
    friend class FrameRoots;
};

// The list of one coroutine frame (kept in its promise).
class FrameRoots {
public:
    FrameRoots() noexcept { head_.prev = head_.next = &head_; }
    FrameRoots(const FrameRoots&) = delete;
    FrameRoots& operator=(const FrameRoots&) = delete;
    ~FrameRoots();

    int traverse(visitproc visit, void* arg) const;
    // Tells every root that the frame resumes after an await.
    void resumed() noexcept;

    // While alive, FrameRoots made on this thread join `roots`.
    class Running {
    public:
        explicit Running(FrameRoots& roots) noexcept;
        ~Running();
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;

    private:
        FrameRoots* saved_;
    };

private:
    friend class FrameRoot;
    void link(FrameLink* node) noexcept;
    FrameLink head_;
};

// An owned reference that a running coroutine body holds in its frame.
class FrameRef final : public Ref, public FrameRoot {
public:
    FrameRef() noexcept = default;
    FrameRef(Ref value) noexcept : Ref(std::move(value)) {}
    FrameRef& operator=(Ref value) noexcept {
        Ref::operator=(std::move(value));
        return *this;
    }
    int traverse(visitproc visit, void* arg) const override {
        Py_VISIT(get());
        return 0;
    }
};

}  // namespace kaplet
