// Native coroutines: C++20 coroutine bodies behind a Python coroutine object
// that asyncio accepts (send, throw, close, __await__).
#pragma once

#include "error.h"
#include "frame_roots.h"
#include "function.h"
#include "ref.h"

#include <coroutine>
#include <cstddef>
#include <new>

namespace kaplet {

// The return type of a C++ coroutine body: `Coro body(Args a) { ...; co_return value; }`.
// A body runs only when the coroutine object that wraps it is driven; every
// `co_await await_(x)` hands what x yields to the driver.
class Coro {
public:
    struct promise_type {
        // A body taking the bound arguments shows them to the cycle collector.
        promise_type() noexcept = default;
        explicit promise_type(Args& bound) noexcept : args(&bound) {}

        // Frames come from the interpreter's small-object allocator (they are
        // made and destroyed with the interpreter lock held).
        static void* operator new(std::size_t size) {
            void* frame = PyObject_Malloc(size);
            if (frame == nullptr) throw std::bad_alloc();
            return frame;
        }
        static void operator delete(void* frame) noexcept { PyObject_Free(frame); }

        Args* args = nullptr;
        Ref result;
        SavedError error;
        Ref awaiting;             // iterator that the body is suspended on
        Ref resume_value;         // what that iterator returned
        SavedError resume_error;  // or what it raised
        FrameRoots roots;         // the body's FrameRefs (destroyed after them)

        Coro get_return_object() noexcept {
            return Coro(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref value) noexcept { result = std::move(value); }
        void unhandled_exception() noexcept {
            set_error_from_current_exception();
            if (args) add_function_traceback(*args);
            error = SavedError::fetch();
        }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Coro(Coro&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Coro& operator=(Coro&& other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }
    Coro(const Coro&) = delete;
    ~Coro() {
        if (handle_) handle_.destroy();
    }
    Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    explicit Coro(Handle h) noexcept : handle_(h) {}
    Handle handle_;
};

// `co_await await_(obj)`: awaits any Python awaitable, as the await
// expression does; every value it yields is passed out to whoever drives the
// coroutine, and the body resumes with its result (or the exception it raised).
class AwaitPython {
public:
    explicit AwaitPython(PyObject* awaitable);
    bool await_ready() const noexcept { return false; }
    void await_suspend(Coro::Handle h) noexcept {
        promise_ = &h.promise();
        promise_->awaiting = std::move(iterator_);
    }
    Ref await_resume() {
        promise_->roots.resumed();
        if (promise_->resume_error) promise_->resume_error.rethrow();
        return std::move(promise_->resume_value);
    }

private:
    Ref iterator_;
    Coro::promise_type* promise_ = nullptr;
};

inline AwaitPython await_(PyObject* awaitable) { return AwaitPython(awaitable); }
inline AwaitPython await_(const Ref& awaitable) { return AwaitPython(awaitable.get()); }
// A temporary awaitable (`co_await await_(f())`) is given up at once, as the
// await expression keeps only the iterator: a temporary of the co_await
// expression would otherwise stay in the frame, unseen by the collector.
inline AwaitPython await_(Ref&& awaitable) {
    Ref owned = std::move(awaitable);
    return AwaitPython(owned.get());
}

// Wraps a not yet started body into a new Python coroutine object.
Ref make_coroutine(Ref name, Ref qualname, Coro body);

PyTypeObject* coroutine_type();

}  // namespace kaplet
