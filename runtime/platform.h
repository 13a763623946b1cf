// The operating-system calls of the library. No Python headers here: the two
// implementations (platform_posix.cpp, platform_win.cpp) are plain C++.
#pragma once

#include <string>

namespace kaplet::platform {

#ifdef _WIN32
inline constexpr char kSeparator = '\\';
inline constexpr const char* kNotExisting = "\\not_existing";
#else
inline constexpr char kSeparator = '/';
inline constexpr const char* kNotExisting = "/not_existing";
#endif

// Full path (UTF-8) of the shared library that holds this code; empty when
// the system cannot tell.
std::string own_library_path();

struct LoadResult {
    void* handle = nullptr;   // null when the load failed
    unsigned long error_code = 0;
    std::string error_text;   // the system's message, may be empty
};

// Loads a shared library. dlopen_flags is used on POSIX only.
LoadResult load_library(const std::string& path_utf8, int dlopen_flags);

// Looks an exported symbol up in a loaded library; null when absent.
void* find_symbol(void* handle, const char* name);

}  // namespace kaplet::platform
