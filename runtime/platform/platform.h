// The operating-system calls of the library. No Python headers here: the two
// implementations (platform_posix.cpp, platform_win.cpp) are plain C++.
#pragma once

#include <string>
#include <vector>

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

// One entry of a directory listing. The name is in the system's own form:
// raw bytes on POSIX, UTF-8 (WTF-8 for unpaired surrogates) on Windows.
struct DirectoryEntry {
    enum class Kind : unsigned char { Directory, Other, Link, Unknown };
    std::string name;
    Kind kind = Kind::Unknown;  // Link and Unknown need a stat to tell
};

// Appends the entries of a directory, without "." and "..", in the order the
// system lists them. False when the directory cannot be opened; entries read
// before a later failure stay in `out`.
bool list_directory(const std::string& path, std::vector<DirectoryEntry>& out);

// What a stat that follows links says about path.
enum class StatKind { Directory, NotDirectory, Missing, Failed };
StatKind stat_kind(const std::string& path);

// The flags the interpreter's open(name, "rb") passes to the system (and
// reports in its "open" audit event).
extern const int kReadOpenFlags;

// A regular file opened for reading, closed when the object goes; anything
// else (a FIFO, socket, device or directory) is not opened at all.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::string& path);
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile();
    bool is_open() const noexcept;
    // Reads up to size bytes at offset; the count read (short at the end of
    // the file), or -1 on failure.
    long long read_at(unsigned long long offset, unsigned char* buffer, std::size_t size);

private:
    void* handle_;  // a file descriptor on POSIX, a HANDLE on Windows
};

}  // namespace kaplet::platform
