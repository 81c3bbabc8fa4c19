#include "yin/Latch.h"

namespace yin {

bool Latch::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return open_ || cancelled_; });
    return !cancelled_;
}

void Latch::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_)
        return;
    open_ = true;
    changed_.notify_all();
}

void Latch::cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_)
        return;
    cancelled_ = true;
    changed_.notify_all();
}

bool Latch::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

}  // namespace yin
