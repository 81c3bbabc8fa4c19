// The process-wide count of running backup requests, which the local status port reports.
// Every change wakes the waiters.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class RunningBackups {
  public:
    static RunningBackups& instance();

    void add();
    void remove();
    std::int32_t count();
    // Waits until the count changes or limit passes; returns whether a backup is running.
    bool waitForChange(std::chrono::milliseconds limit);

    // Counts one backup for as long as it lives.
    class Registration {
      public:
        Registration() { RunningBackups::instance().add(); }
        ~Registration() { RunningBackups::instance().remove(); }
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
    };

  private:
    RunningBackups() = default;
    void change(std::int32_t delta);

    std::mutex mutex_;  // guards count_ and changes_
    std::condition_variable changed_;
    std::int32_t count_ = 0;
    std::uint64_t changes_ = 0;
};
