// The operator's view of a long backup or restore: an INFO line at most every interval
// with how far the work is, its rate and the time left. Lines are logged on the calling
// stage's thread, so they reach the server's log as well as the local one.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace blocks {

// "<what>: 1200 of 4800 blocks (25.0%), 12.3 MB/s, about 2 min 5 s left"; rate and time
// left are left out until anything is done, the time left when the total is unknown (0).
std::string progressLine(const std::string& what, std::uint64_t done, std::uint64_t total,
                         std::uint64_t blockSize, std::chrono::milliseconds elapsed);

class ProgressMeter {
  public:
    static constexpr std::chrono::seconds kInterval{30};

    ProgressMeter(std::string what, std::uint64_t blockSize,
                  std::chrono::milliseconds interval = kInterval);

    // Starts the clock (the first line comes one interval later).
    void start();
    void setTotal(std::uint64_t total) { total_ = total; }
    void setBlockSize(std::uint64_t blockSize) { blockSize_ = blockSize; }
    // Logs a line when the interval has passed; suffix is appended to it.
    void update(std::uint64_t done, const std::string& suffix = {});
    // True when the next update logs a line: a caller whose suffix costs something to make
    // builds it only then.
    bool due() const { return Clock::now() >= next_; }

  private:
    using Clock = std::chrono::steady_clock;
    std::string what_;
    std::uint64_t blockSize_;
    std::uint64_t total_ = 0;
    std::chrono::milliseconds interval_;
    Clock::time_point start_;
    Clock::time_point next_;
};

}  // namespace blocks
