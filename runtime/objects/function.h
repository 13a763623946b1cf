// Native functions: Python-visible function objects whose bodies are C++.
// They carry the attributes of a def-made function (name, qualified name,
// defaults, keyword defaults, annotations, globals, __module__), bind to
// instances like Python functions, report argument errors with the
// interpreter's own messages, and answer inspect.signature.
#pragma once

#include "global_lookup.h"
#include "names.h"
#include "ref.h"

#include <cstddef>
#include <new>
#include <utility>

namespace kaplet {

inline constexpr std::size_t kMaxParams = 12;

enum class ParamKind { Positional, VarArgs, KeywordOnly, VarKeywords };

struct Param {
    const char* name;
    ParamKind kind = ParamKind::Positional;
};

inline constexpr Param varargs(const char* name) { return {name, ParamKind::VarArgs}; }
inline constexpr Param kwonly(const char* name) { return {name, ParamKind::KeywordOnly}; }
inline constexpr Param varkw(const char* name) { return {name, ParamKind::VarKeywords}; }

class Args;
class Coro;
using Impl = Ref (*)(Args&);
using CoroImpl = Coro (*)(Args);

// The fixed part of a def statement: name, parameter list and C++ body.
// Parameters are listed in source order; a body reads them by that index.
struct FunctionDef {
    const char* name;
    const Param* params;
    std::size_t param_count;
    Impl impl = nullptr;
    CoroImpl coro_impl = nullptr;  // set for an async def
    // Every parameter is positional-or-keyword: a call without keywords
    // binds by position and defaults alone.
    bool positional_only_kinds = true;

    template <std::size_t N>
    constexpr FunctionDef(const char* n, const Param (&p)[N], Impl body)
        : name(n), params(p), param_count(N), impl(body), positional_only_kinds(all_positional(p)) {
        static_assert(N <= kMaxParams);
    }
    template <std::size_t N>
    constexpr FunctionDef(const char* n, const Param (&p)[N], CoroImpl body)
        : name(n), params(p), param_count(N), coro_impl(body), positional_only_kinds(all_positional(p)) {
        static_assert(N <= kMaxParams);
    }

private:
    template <std::size_t N>
    static constexpr bool all_positional(const Param (&p)[N]) {
        for (const Param& one : p) {
            if (one.kind != ParamKind::Positional) return false;
        }
        return true;
    }

public:
    constexpr FunctionDef(const char* n, Impl body) : name(n), params(nullptr), param_count(0), impl(body) {}
    constexpr FunctionDef(const char* n, CoroImpl body)
        : name(n), params(nullptr), param_count(0), coro_impl(body) {}
};

// The evaluated parts of a def statement (each may be null).
struct DefParts {
    Ref defaults;      // tuple of positional defaults
    Ref kwdefaults;    // dict of keyword-only defaults
    Ref annotations;   // dict
};

// The bound arguments of one call, indexed like FunctionDef::params. Only
// the function's own parameter count of slots is live, so that making,
// moving (into a coroutine frame) and destroying one costs what the
// function's parameters cost.
class Args {
public:
    Args(PyObject* function, std::size_t count) noexcept : function_(Py_NewRef(function)), count_(count) {
        for (std::size_t i = 0; i < count_; ++i) new (&slots_[i]) Ref();
    }
    Args(Args&& other) noexcept
        : function_(std::exchange(other.function_, nullptr)), count_(other.count_), line_(other.line_) {
        for (std::size_t i = 0; i < count_; ++i) new (&slots_[i]) Ref(std::move(other.slots_[i]));
    }
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
    ~Args() {
        for (std::size_t i = 0; i < count_; ++i) slots_[i].~Ref();
        Py_XDECREF(function_);
    }

    // Borrowed; valid while the Args lives.
    PyObject* operator[](std::size_t i) const noexcept { return slots_[i].get(); }
    const Ref& ref(std::size_t i) const noexcept { return slots_[i]; }
    void set(std::size_t i, Ref value) noexcept { slots_[i] = std::move(value); }
    bool has(std::size_t i) const noexcept { return static_cast<bool>(slots_[i]); }

    PyObject* function() const noexcept { return function_; }

    // Marks the start of the statement at this source line of the function;
    // when the body fails, the traceback entry names it.
    void line(int number) noexcept { line_ = number; }
    int current_line() const noexcept { return line_; }
    // Reports the references held to the cycle collector (a suspended
    // coroutine body keeps its arguments).
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(function_);
        for (std::size_t i = 0; i < count_; ++i) Py_VISIT(slots_[i].get());
        return 0;
    }
    // A module-level name as the function sees it: its globals, then
    // builtins. a.global<"len">() keeps a cache for the name (see
    // global_lookup.h) and is the form for bodies; the text form searches.
    template <Literal L>
    Ref global() const {
        return global(interned<L>(), global_cache<L>);
    }
    Ref global(PyObject* name, GlobalCache& cache) const;
    Ref global(const char* name) const;
    // Zero-argument super(): the global `super`, which for the built-in one
    // means super(__class__, first argument).
    Ref super() const;
    // The class that the function's class cell holds.
    Ref class_of_definition() const;
    // `import a.b.c` inside the body: the builtins' __import__ called with the
    // function's globals; returns the top-level package that the statement binds.
    Ref import(const char* dotted) const;
    Ref import(PyObject* dotted) const;  // "numpy"_py

private:
    PyObject* function_;
    std::size_t count_;
    int line_ = 0;
    union {
        Ref slots_[kMaxParams];  // the first count_ are live
    };
};

// Adds the traceback entry of a failing native function or coroutine body to
// the pending exception: the module's __file__, the function's qualified name
// when it was defined, and the line last marked in args.
void add_function_traceback(const Args& args) noexcept;

// Makes a native function object. globals is the defining module's dictionary;
// class_cell is the class's shared cell (null for a module-level function).
Ref make_function(const FunctionDef& def, PyObject* qualname, PyObject* globals, PyObject* class_cell,
                  DefParts parts);

// A dict of annotations: annotations({{"x", t}, {"return", r}}).
struct Annotation {
    const char* name;
    PyObject* value;
    Annotation(const char* n, PyObject* v) : name(n), value(v) {}
    Annotation(const char* n, const Ref& v) : name(n), value(v.get()) {}
};
Ref annotations(std::initializer_list<Annotation> items);

// The function type, for tests of identity.
PyTypeObject* function_type();
bool ready_function_type();

}  // namespace kaplet
