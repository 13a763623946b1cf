// Reads image headers on worker threads ahead of the interpreter's thread,
// which takes the results in order: a file the readers decline goes to
// Image.open at once while the workers go on with the files after it, and
// the interpreter's thread never opens a file for a header of its own.
#pragma once

#include "pillow_rules.h"
#include "header_size.h"
#include "ref.h"
#include "signal_checks.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pretrain {

class HeaderPipeline {
public:
    // One file of the scan, as the interpreter's thread prepared it.
    struct File {
        kaplet::Ref path;      // the path_list item
        kaplet::Ref filename;  // os.fspath(path): what open() is given; null when not to be read
        std::string system_path;
        std::uint64_t epoch = 0;  // SizeScan's count of Python runs when prepared
    };

    HeaderPipeline() = default;
    HeaderPipeline(const HeaderPipeline&) = delete;
    HeaderPipeline& operator=(const HeaderPipeline&) = delete;
    ~HeaderPipeline() { stop(); }

    // Drops every file and stops the workers; the next add starts afresh
    // with these formats and rules.
    void restart(std::int64_t first_index, unsigned formats, const PillowRules& rules);
    bool runs(unsigned formats, const PillowRules& rules) const { return formats == formats_ && rules == rules_; }

    // List index of the next file to add, and of the first file held.
    std::int64_t end_index() const noexcept { return first_index_ + static_cast<std::int64_t>(entries_.size()); }
    std::int64_t first_index() const noexcept { return first_index_; }
    // The file held for a list index in [first_index(), end_index()).
    const File& file(std::int64_t index) const { return entries_[static_cast<std::size_t>(index - first_index_)].file; }

    // Adds files (at end_index() onwards) for the workers to read.
    void add(std::vector<File>&& files);
    // The header of the file at index (the first one held), waiting for it
    // with the interpreter lock released; the pending signal handlers run
    // while it waits and their exception is thrown. The file is dropped;
    // its file name goes to `filename`.
    HeaderSize take(std::int64_t index, kaplet::Ref& filename);

    int traverse(visitproc visit, void* arg) const;

private:
    struct Entry {
        Entry(File&& f, std::int64_t at) : file(std::move(f)), index(at) {}
        File file;
        std::int64_t index;  // in the list
        HeaderSize size;
        std::atomic<bool> done{false};
    };

    void work();
    void read(Entry& entry) const noexcept;
    void stop();

    unsigned formats_ = 0;
    PillowRules rules_;
    std::int64_t first_index_ = 0;
    std::deque<Entry> entries_;  // push_back and pop_front keep the others where they are
    std::mutex mutex_;           // guards the deque's shape, next_claim_ and stopping_
    std::condition_variable work_ready_, header_ready_;
    std::size_t next_claim_ = 0;  // deque position the next worker takes
    bool stopping_ = false;
    static constexpr std::int64_t kRun = 128;
    std::atomic<bool> waiting_{false};
    // The list indexes whose headers wake the waiting thread: the one it
    // takes and the last of the run after it.
    std::atomic<std::int64_t> first_wanted_{0}, wake_at_{0};
    std::vector<std::thread> workers_;
    kaplet::SignalChecks signals_;
};

}  // namespace pretrain
