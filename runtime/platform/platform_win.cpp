#ifdef _WIN32
#include "platform.h"

#include <windows.h>

#include <fcntl.h>

#include <vector>

namespace kaplet::platform {

static void anchor() {}

const int kReadOpenFlags = _O_RDONLY | _O_BINARY | _O_NOINHERIT;

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

// UTF-16 to WTF-8: like UTF-8, with an unpaired surrogate encoded on its own,
// which is how Python's file-system decoding (surrogatepass) reads it back.
static std::string to_wtf8(const wchar_t* text) {
    std::string out;
    for (std::size_t i = 0; text[i] != 0; ++i) {
        unsigned long c = static_cast<unsigned short>(text[i]);
        if (c >= 0xD800 && c < 0xDC00) {
            unsigned long low = static_cast<unsigned short>(text[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// WTF-8 back to UTF-16.
static std::wstring from_wtf8(const std::string& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        unsigned long c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
        for (int k = 1; k <= extra && i + k < text.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (c >> 10));
            out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<wchar_t>(c);
        }
    }
    return out;
}

bool list_directory(const std::string& path, std::vector<DirectoryEntry>& out) {
    std::wstring pattern = from_wtf8(path.empty() ? std::string(".") : path);
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/' && pattern.back() != L':') {
        pattern += L'\\';
    }
    pattern += L'*';
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const wchar_t* name = data.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
        DirectoryEntry::Kind kind = DirectoryEntry::Kind::Other;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && data.dwReserved0 == IO_REPARSE_TAG_SYMLINK) {
            kind = DirectoryEntry::Kind::Link;
        } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            kind = DirectoryEntry::Kind::Directory;
        }
        out.push_back({to_wtf8(name), kind});
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return true;
}

StatKind stat_kind(const std::string& path) {
    std::wstring wide = from_wtf8(path);
    HANDLE file = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? StatKind::Missing : StatKind::Failed;
    }
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!ok) return StatKind::Failed;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? StatKind::Directory : StatKind::NotDirectory;
}

// Opened as the C runtime's _wopen(path, kReadOpenFlags) opens it, with the
// same sharing: a file someone else holds open for deletion is refused
// here just as the interpreter's open() refuses it.
ReadOnlyFile::ReadOnlyFile(const std::string& path) {
    std::wstring wide = from_wtf8(path);
    handle_ = INVALID_HANDLE_VALUE;
    // Only files on a disk: device names (NUL.png, COM1.jpg) and pipes are left alone.
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) return;
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return;
    }
    handle_ = file;
}

ReadOnlyFile::~ReadOnlyFile() {
    if (is_open()) CloseHandle(handle_);
}

bool ReadOnlyFile::is_open() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

long long ReadOnlyFile::read_at(unsigned long long offset, unsigned char* buffer, std::size_t size) {
    if (!is_open()) return -1;
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        unsigned long long position = offset + done;
        at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD chunk = static_cast<DWORD>(size - done > 0x40000000u ? 0x40000000u : size - done);
        DWORD got = 0;
        if (!ReadFile(handle_, buffer + done, chunk, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return -1;
        }
        done += got;
        if (got < chunk) break;  // the end of the file
    }
    return static_cast<long long>(done);
}

}  // namespace kaplet::platform
#endif
