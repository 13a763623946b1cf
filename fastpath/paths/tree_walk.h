// glob(pattern, recursive=True) for the one pattern the analysis tool uses,
// "<root>/**/*", done with the platform's directory listing instead of the
// glob module's generators: the same entries, in the same order, as the
// same strings, after the same audit events.
#pragma once

#include "ref.h"
#include "signal_checks.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pretrain {

class TreeWalk {
public:
    // Walks the tree when `glob_function` is the standard library's own glob
    // and pattern is "<root>/**/*" with a plain root (no wildcard, encodable
    // as a file name). A null result means: call glob itself.
    static std::unique_ptr<TreeWalk> of_pattern(PyObject* glob_function, PyObject* pattern);

    std::size_t size() const noexcept { return entries_.size(); }
    // The entry's file name, in the system's encoding.
    std::string_view name(std::size_t i) const noexcept { return entries_[i].name; }
    // The entry as glob yields it: root, separator, relative path.
    kaplet::Ref text(std::size_t i);
    // Every entry, as glob's list.
    kaplet::Ref texts();
    // The file-name suffix pathlib gives the entry ("" when there is none).
    kaplet::Ref suffix(std::size_t i) const;

private:
    struct Entry {
        std::size_t directory;  // index into directories_
        std::string name;
    };
    struct Directory {
        std::string relative;  // system encoding; empty for the root
        int depth;             // 0 for the root
        kaplet::Ref text;      // root text joined with the decoded relative path, made on demand
    };

    enum class Outcome { Complete, TooDeep, Interrupted };
    // Runs without the interpreter lock (released_).
    Outcome walk(const std::string& relative, int depth);
    std::string system_path(const std::string& relative) const;
    const kaplet::Ref& directory_text(std::size_t d);
    void raise_listing_events();

    kaplet::Ref root_text_;
    std::string root_bytes_;
    std::vector<Directory> directories_;
    std::vector<Entry> entries_;
    kaplet::SignalChecks signals_;
    PyThreadState* released_ = nullptr;
};

}  // namespace pretrain
