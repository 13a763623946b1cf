#include "header_pipeline.h"

#include "error.h"

#include <algorithm>
#include <chrono>

namespace pretrain {

namespace {

// One worker per 64 files waiting, up to one per core (the interpreter's
// thread mostly waits for them), at most 8; none for a few files, which the
// interpreter's thread reads for less than starting a thread costs.
std::size_t workers_wanted(std::size_t waiting) {
    constexpr std::size_t kReadInline = 16;
    if (waiting < kReadInline) return 0;
    unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::size_t most = std::clamp<std::size_t>(cores, 1, 8);
    return std::min(most, std::max<std::size_t>(1, (waiting + 63) / 64));
}

}  // namespace

void HeaderPipeline::read(Entry& entry) const noexcept {
    if (!entry.file.filename) return;
    try {
        entry.size = read_header_size(entry.file.system_path, formats_, rules_);
    } catch (...) {
        entry.size = {};
    }
}

void HeaderPipeline::restart(std::int64_t first_index, unsigned formats, const PillowRules& rules) {
    stop();
    entries_.clear();
    next_claim_ = 0;
    first_index_ = first_index;
    formats_ = formats;
    rules_ = rules;
}

void HeaderPipeline::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
}

void HeaderPipeline::add(std::vector<File>&& files) {
    if (files.empty()) return;
    std::size_t waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (File& file : files) entries_.emplace_back(std::move(file), end_index());
        waiting = entries_.size() - next_claim_;
    }
    files.clear();
    work_ready_.notify_all();
    for (std::size_t want = workers_wanted(waiting); workers_.size() < want;) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (...) {
            break;  // fewer threads, same work
        }
    }
}

void HeaderPipeline::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [this] { return stopping_ || next_claim_ < entries_.size(); });
        if (stopping_) return;
        Entry& entry = entries_[next_claim_++];
        lock.unlock();
        read(entry);
        entry.done.store(true);
        if (waiting_.load() && (entry.index >= wake_at_.load() || entry.index == first_wanted_.load())) {
            std::lock_guard<std::mutex> notify(mutex_);
            header_ready_.notify_all();
        }
        lock.lock();
    }
}

HeaderSize HeaderPipeline::take(std::int64_t index, kaplet::Ref& filename) {
    Entry& entry = entries_[static_cast<std::size_t>(index - first_index_)];
    if (!entry.done.load() && workers_.empty()) {
        // No thread could be started: this thread reads the file.
        {
            std::lock_guard<std::mutex> lock(mutex_);
            next_claim_ = std::max<std::size_t>(next_claim_, 1);
        }
        PyThreadState* saved = PyEval_SaveThread();
        read(entry);
        PyEval_RestoreThread(saved);
        entry.done.store(true);
    }
    if (!entry.done.load()) {
        PyThreadState* saved = PyEval_SaveThread();
        bool interrupted = false;
        {
            // Woken once a run of files is read, not at every file.
            std::int64_t last = end_index() - 1;
            Entry& run_end = entries_[static_cast<std::size_t>(std::min(index + kRun, last) - first_index_)];
            std::unique_lock<std::mutex> lock(mutex_);
            wake_at_.store(std::min(index + kRun, last));
            first_wanted_.store(index);
            waiting_.store(true);
            while (!entry.done.load() || !run_end.done.load()) {
                header_ready_.wait_for(lock, kaplet::SignalChecks::kInterval);
                if (entry.done.load() && run_end.done.load()) break;
                lock.unlock();
                PyEval_RestoreThread(saved);
                interrupted = PyErr_CheckSignals() != 0;
                saved = PyEval_SaveThread();
                lock.lock();
                if (interrupted) break;
            }
            waiting_.store(false);
        }
        PyEval_RestoreThread(saved);
        if (interrupted) {
            stop();
            kaplet::throw_python_error();
        }
    } else {
        signals_.step();
    }
    HeaderSize size = std::move(entry.size);
    filename = std::move(entry.file.filename);
    kaplet::Ref path = std::move(entry.file.path);  // released after the deque is back in shape
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.pop_front();
        ++first_index_;
        if (next_claim_ > 0) --next_claim_;
    }
    return size;
}

int HeaderPipeline::traverse(visitproc visit, void* arg) const {
    for (const Entry& entry : entries_) {
        Py_VISIT(entry.file.path.get());
        Py_VISIT(entry.file.filename.get());
    }
    return 0;
}

}  // namespace pretrain
