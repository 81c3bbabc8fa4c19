// Threads started together and joined together. Threads are never detached: the owner
// joins them all (joinAll, or the destructor) before it goes away.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace runtime {

class ThreadGroup {
  public:
    ThreadGroup() = default;
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;
    ~ThreadGroup() { joinAll(); }

    // Starts body on a new thread owned by the group. Threads that have already ended
    // are joined here, so a long-lived group does not accumulate finished threads.
    void createThread(std::function<void()> body);

    // Joins every thread, including threads created while joining.
    void joinAll();

    std::size_t size();

  private:
    struct Entry {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    void reapFinished();

    std::mutex mutex_;  // guards threads_
    std::vector<Entry> threads_;
};

}  // namespace runtime
