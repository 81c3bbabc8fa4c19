#include "runtime/ThreadGroup.h"

#include <atomic>
#include <memory>

namespace runtime {

void ThreadGroup::createThread(std::function<void()> body) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([body = std::move(body), finished] {
        body();
        finished->store(true);
    });
    std::lock_guard<std::mutex> lock(mutex_);
    reapFinished();
    threads_.push_back(Entry{std::move(thread), std::move(finished)});
}

void ThreadGroup::reapFinished() {
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->finished->load()) {
            it->thread.join();
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
}

void ThreadGroup::joinAll() {
    for (;;) {
        std::vector<Entry> batch;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (threads_.empty())
                return;
            batch.swap(threads_);
        }
        for (auto& entry : batch)
            entry.thread.join();
    }
}

std::size_t ThreadGroup::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    reapFinished();
    return threads_.size();
}

}  // namespace runtime
