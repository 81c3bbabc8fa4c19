#include "requests/RunningBackups.h"

namespace requests {

void RunningBackups::add() {
    change(1);
}

void RunningBackups::remove() {
    change(-1);
}

void RunningBackups::change(std::int32_t delta) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        count_ += delta;
        ++changes_;
    }
    changed_.notify_all();
}

std::int32_t RunningBackups::count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

bool RunningBackups::waitForChange(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::uint64_t seen = changes_;
    changed_.wait_for(lock, limit, [this, seen] { return changes_ != seen; });
    return count_ > 0;
}

}  // namespace requests
