// Module-global and builtin names as the interpreter's LOAD_GLOBAL finds
// them: the globals dict, then the builtins dict, else NameError. A cache
// remembers where the last lookup found the value together with the two
// dicts' version tags; while neither dict has changed since, the value is
// still the one they hold and no dict is searched.
#pragma once

#include "names.h"
#include "ref.h"

#include <cstdint>

namespace kaplet {

struct GlobalCache {
    PyObject* globals = nullptr;
    PyObject* builtins = nullptr;
    std::uint64_t globals_version = 0;
    std::uint64_t builtins_version = 0;
    PyObject* value = nullptr;  // held by one of the two dicts while the versions match
};

inline std::uint64_t dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// Searches both dicts and refills the cache (when given).
Ref lookup_global_uncached(PyObject* globals, PyObject* builtins, PyObject* name, GlobalCache* cache);

inline Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name, GlobalCache& cache) {
    if (cache.globals == globals && cache.builtins == builtins &&
        cache.globals_version == dict_version(globals) && cache.builtins_version == dict_version(builtins)) {
        return Ref::borrow(cache.value);
    }
    return lookup_global_uncached(globals, builtins, name, &cache);
}

// One cache per name, shared by every function of the library that reads it.
template <Literal L>
inline GlobalCache global_cache{};

}  // namespace kaplet
