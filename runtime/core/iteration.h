// `for x in iterable:` and `a, b = value` as the interpreter carries them out.
#pragma once

#include "error.h"
#include "frame_roots.h"
#include "ref.h"

#include <array>
#include <cstddef>

namespace kaplet {

// for (const Ref& item : iterate(obj)) { ... }   is   for item in obj: ...
// The iterator and the current item are frame references: a coroutine body
// suspended inside the loop reports them to the collector.
class iterate {
public:
    explicit iterate(PyObject* iterable) : it_(Ref::steal(PyObject_GetIter(iterable))) {}
    explicit iterate(const Ref& iterable) : iterate(iterable.get()) {}

    class iterator {
    public:
        explicit iterator(PyObject* it) : it_(it) { advance(); }
        iterator() = default;
        iterator(const iterator&) = delete;
        iterator& operator=(const iterator&) = delete;
        const Ref& operator*() const noexcept { return current_; }
        iterator& operator++() {
            advance();
            return *this;
        }
        bool operator!=(const iterator&) const noexcept { return static_cast<bool>(current_); }

    private:
        void advance() {
            current_ = Ref::steal_or_null(PyIter_Next(it_));
            if (!current_ && PyErr_Occurred()) throw_python_error();
        }
        PyObject* it_ = nullptr;
        FrameRef current_;
    };

    iterator begin() const { return iterator(it_.get()); }
    iterator end() const { return iterator(); }

private:
    FrameRef it_;
};

// `a, b, ... = value`: exactly N items, with the interpreter's messages.
template <std::size_t N>
std::array<Ref, N> unpack(PyObject* value) {
    // An exact tuple of the right size is taken apart directly, as the
    // interpreter's UNPACK_SEQUENCE does; nothing else can run in between.
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == Py_ssize_t(N)) {
        std::array<Ref, N> items;
        for (std::size_t i = 0; i < N; ++i) items[i] = Ref::borrow(PyTuple_GET_ITEM(value, Py_ssize_t(i)));
        return items;
    }
    Ref it = Ref::steal_or_null(PyObject_GetIter(value));
    if (!it) {
        if (error_matches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        throw_python_error();
    }
    std::array<Ref, N> items;
    for (std::size_t i = 0; i < N; ++i) {
        items[i] = Ref::steal_or_null(PyIter_Next(it.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) throw_python_error();
            raise(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", int(N), int(i));
        }
    }
    Ref extra = Ref::steal_or_null(PyIter_Next(it.get()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected %d)", int(N));
    if (PyErr_Occurred()) throw_python_error();
    return items;
}

}  // namespace kaplet
