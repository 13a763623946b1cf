#include "file_start.h"

namespace pretrain {

bool FileStart::has(std::uint64_t end) {
    if (end <= data_.size()) return true;
    if (end > kLimit || !file_.is_open() || at_end_) return false;
    std::size_t want = static_cast<std::size_t>(end > 2 * data_.size() + 4096 ? end : 2 * data_.size() + 4096);
    if (want > kLimit) want = kLimit;
    std::size_t old = data_.size();
    data_.resize(want);
    long long got = file_.read_at(old, data_.data() + old, want - old);
    if (got < 0) {
        data_.resize(old);
        at_end_ = true;
        return false;
    }
    data_.resize(old + static_cast<std::size_t>(got));
    if (data_.size() < want) at_end_ = true;
    return end <= data_.size();
}

}  // namespace pretrain
