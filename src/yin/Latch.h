// The start gate of a pipeline: every stage waits here until the builder opens it, so
// all stages begin together and none touches a channel before the pipeline is complete.
// A builder that fails half-way cancels the latch instead, and the waiting stages end
// without running. Thread-safe.
#pragma once

#include <condition_variable>
#include <mutex>

namespace yin {

class Latch {
  public:
    Latch() = default;
    Latch(const Latch&) = delete;
    Latch& operator=(const Latch&) = delete;

    // Blocks until the latch is opened or cancelled; true when it was opened.
    bool wait();
    void open();
    // Releases every waiter without starting anything; a later open() changes nothing.
    void cancel();
    bool isOpen() const;

  private:
    mutable std::mutex mutex_;  // guards open_ and cancelled_
    std::condition_variable changed_;
    bool open_ = false;
    bool cancelled_ = false;
};

}  // namespace yin
