// The per-connection queue of log records bound for the backup server. A record is
// code (4 bytes), text length (4 bytes) and the text, all big-endian. The queue has a
// fixed capacity allocated once: a record that does not fit whole is dropped, DEBUG
// lines are never queued. Appending happens under the logger's write mutex (the logger
// calls write()); drainInto() takes that mutex itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "logging/LogLevel.h"

namespace logging {

constexpr std::uint32_t kLogRecordError = 0xE1E7EFEE;
constexpr std::uint32_t kLogRecordWarn = 0xE1E7EFEF;
constexpr std::uint32_t kLogRecordInfo = 0xE1E7EFF0;

class NetLogger {
  public:
    static constexpr std::size_t kDefaultCapacity = 307200;

    explicit NetLogger(std::size_t capacity = kDefaultCapacity);
    NetLogger(const NetLogger&) = delete;
    NetLogger& operator=(const NetLogger&) = delete;

    // Appends a record; the caller holds the logger's write mutex.
    void write(LogLevel level, const std::string& message);

    // Appends the queued bytes to out and empties the queue.
    void drainInto(std::string& out);

    std::size_t used() const { return used_; }
    std::size_t capacity() const { return capacity_; }

  private:
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_;
    std::size_t used_ = 0;
};

}  // namespace logging
