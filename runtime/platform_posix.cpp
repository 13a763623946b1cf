#ifndef _WIN32
#include "platform.h"

#include <dlfcn.h>

namespace kaplet::platform {

static void anchor() {}

std::string own_library_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&anchor), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

LoadResult load_library(const std::string& path_utf8, int dlopen_flags) {
    LoadResult result;
    dlerror();
    result.handle = dlopen(path_utf8.c_str(), dlopen_flags);
    if (result.handle == nullptr) {
        const char* text = dlerror();
        result.error_code = 1;
        if (text != nullptr) result.error_text = text;
    }
    return result;
}

void* find_symbol(void* handle, const char* name) { return dlsym(handle, name); }

}  // namespace kaplet::platform
#endif
