// The count of running backup requests, which the local status port reports. The agent owns
// one and hands it to the requests and the status port. Every change wakes the waiters.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace requests {

class RunningBackups {
  public:
    RunningBackups() = default;
    RunningBackups(const RunningBackups&) = delete;
    RunningBackups& operator=(const RunningBackups&) = delete;

    void add();
    void remove();
    std::int32_t count();
    // Waits until the count changes or limit passes; returns whether a backup is running.
    bool waitForChange(std::chrono::milliseconds limit);

    // Counts one backup for as long as it lives.
    class Registration {
      public:
        explicit Registration(RunningBackups& backups) : backups_(backups) { backups_.add(); }
        ~Registration() { backups_.remove(); }
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;

      private:
        RunningBackups& backups_;
    };

  private:
    void change(std::int32_t delta);

    std::mutex mutex_;  // guards count_ and changes_
    std::condition_variable changed_;
    std::int32_t count_ = 0;
    std::uint64_t changes_ = 0;
};

}  // namespace requests
