// The count of connections being served, against a fixed limit. A slot is taken for each
// accepted connection and given back when its thread lets go of it. Reaching the limit is
// logged once (WARN) until the count falls below it again, which is logged with the number
// of connections refused meanwhile. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace agent {

class ConnectionLimit : public std::enable_shared_from_this<ConnectionLimit> {
  public:
    explicit ConnectionLimit(std::size_t limit) : limit_(limit) {}

    // Held for as long as a connection is served.
    class Slot {
      public:
        explicit Slot(std::shared_ptr<ConnectionLimit> owner) : owner_(std::move(owner)) {}
        ~Slot() { owner_->release(); }
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

      private:
        std::shared_ptr<ConnectionLimit> owner_;
    };

    // A slot, or null when the limit is reached (the connection is to be refused). The
    // limit must be owned by a shared_ptr; each slot keeps it alive.
    std::shared_ptr<Slot> take();
    std::size_t active();

  private:
    void release();

    const std::size_t limit_;
    std::mutex mutex_;  // guards active_ and refused_
    std::size_t active_ = 0;
    std::uint64_t refused_ = 0;
};

}  // namespace agent
