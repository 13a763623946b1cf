#ifndef _WIN32
#include "platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kaplet::platform {

static void anchor() {}

const int kReadOpenFlags = O_RDONLY | O_CLOEXEC;

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

static DirectoryEntry::Kind kind_of(const dirent* entry) {
#ifdef DT_DIR
    switch (entry->d_type) {
        case DT_DIR: return DirectoryEntry::Kind::Directory;
        case DT_LNK: return DirectoryEntry::Kind::Link;
        case DT_UNKNOWN: return DirectoryEntry::Kind::Unknown;
        default: return DirectoryEntry::Kind::Other;
    }
#else
    (void)entry;
    return DirectoryEntry::Kind::Unknown;
#endif
}

bool list_directory(const std::string& path, std::vector<DirectoryEntry>& out) {
    DIR* dir = opendir(path.empty() ? "." : path.c_str());
    if (dir == nullptr) return false;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (entry == nullptr) break;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        out.push_back({name, kind_of(entry)});
    }
    closedir(dir);
    return true;
}

StatKind stat_kind(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno == ENOENT ? StatKind::Missing : StatKind::Failed;
    return S_ISDIR(st.st_mode) ? StatKind::Directory : StatKind::NotDirectory;
}

// Only a regular file is opened: a FIFO, socket or device named like a file
// is left alone (opening one has effects: a FIFO's writer sees a reader). The
// open cannot block (a FIFO put in the file's place after the check), and
// what was opened must be the file that was checked.
ReadOnlyFile::ReadOnlyFile(const std::string& path) {
    handle_ = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
    struct stat before, after;
    if (stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode)) return;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return;
    if (fstat(fd, &after) != 0 || !S_ISREG(after.st_mode) || after.st_dev != before.st_dev ||
        after.st_ino != before.st_ino) {
        close(fd);
        return;
    }
    handle_ = reinterpret_cast<void*>(static_cast<std::intptr_t>(fd));
}

ReadOnlyFile::~ReadOnlyFile() {
    if (is_open()) close(static_cast<int>(reinterpret_cast<std::intptr_t>(handle_)));
}

bool ReadOnlyFile::is_open() const noexcept { return reinterpret_cast<std::intptr_t>(handle_) >= 0; }

long long ReadOnlyFile::read_at(unsigned long long offset, unsigned char* buffer, std::size_t size) {
    if (!is_open()) return -1;
    int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(handle_));
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<std::size_t>(n);
        if (n == 0 || done < size) break;  // a regular file ends where a read comes back short
    }
    return static_cast<long long>(done);
}

}  // namespace kaplet::platform
#endif
