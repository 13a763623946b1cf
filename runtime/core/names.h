// Python strings for names and constant texts, made once per library.
//
//   "img_path"_py          a borrowed, interned str; created on first use and
//                          kept for the life of the process (main interpreter
//                          only: the libraries refuse sub-interpreters)
//
// Use it for every attribute name, dict key, method name and constant text in
// a body: the string is then hashed once, and attribute lookups compare it by
// identity the way the interpreter's own code objects do.
#pragma once

#include "ref.h"

#include <cstddef>

namespace kaplet {

// A string literal usable as a template argument.
template <std::size_t N>
struct Literal {
    char text[N]{};
    constexpr Literal(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

// Interns text into *slot (which keeps that reference); throws on failure.
PyObject* intern_into(PyObject** slot, const char* text);

template <Literal L>
inline PyObject* interned_name = nullptr;

template <Literal L>
inline PyObject* interned() {
    PyObject* s = interned_name<L>;
    return s ? s : intern_into(&interned_name<L>, L.text);
}

template <Literal L>
inline PyObject* operator""_py() {
    return interned<L>();
}

}  // namespace kaplet
