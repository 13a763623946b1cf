#ifdef _WIN32
#include "platform.h"

#include <windows.h>

#include <vector>

namespace kaplet::platform {

static void anchor() {}

static std::string to_utf8(const wchar_t* text, int length) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

static std::wstring to_wide(const std::string& text) {
    int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size);
    }
    return out;
}

std::string own_library_path() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&anchor), &module)) {
        return {};
    }
    // Start with the classic buffer and grow it for long paths.
    std::vector<wchar_t> buffer(256);
    for (;;) {
        DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return to_utf8(buffer.data(), static_cast<int>(n));
        buffer.resize(buffer.size() * 2);
    }
}

LoadResult load_library(const std::string& path_utf8, int /*dlopen_flags*/) {
    LoadResult result;
    std::wstring wide = to_wide(path_utf8);
    UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS);
    HMODULE handle = LoadLibraryExW(wide.c_str(), nullptr,
                                    LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
    SetErrorMode(old_mode);
    result.handle = reinterpret_cast<void*>(handle);
    if (handle == nullptr) {
        DWORD code = GetLastError();
        result.error_code = code;
        char* text = nullptr;
        DWORD len = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        if (len != 0 && text != nullptr) {
            std::string message(text, len);
            while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
            result.error_text = message;
        }
        if (text != nullptr) LocalFree(text);
    }
    return result;
}

void* find_symbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle), name));
}

}  // namespace kaplet::platform
#endif
