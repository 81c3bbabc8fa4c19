// What connections that have not authenticated make the agent log. Anyone who can reach the
// port can open such connections, so a flood of them must not push the useful history out
// of the rotating log file: per interval, the first kLinesPerInterval lines are logged as
// usual; later ones reach only the connection's own peer (the log record it would have
// received anyway) and are counted, and one WARN line per interval says how many were held
// back. Thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "logging/LogLevel.h"

namespace net {

class PreAuthLog {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::uint64_t kLinesPerInterval = 20;
    static constexpr Clock::duration kInterval = std::chrono::seconds(10);

    // The process-wide instance, on the steady clock.
    static PreAuthLog& instance();
    explicit PreAuthLog(std::function<Clock::time_point()> now = Clock::now);

    // Logs one line at level on the calling thread, or counts it when the interval's share
    // is used up.
    void write(logging::LogLevel level, const std::string& text);
    // Writes the summary of an interval that has ended, when it held lines back.
    void flushIfDue();

  private:
    // Starts a new interval when the current one has ended; the caller holds mutex_.
    void rollInterval(Clock::time_point now);

    std::function<Clock::time_point()> now_;
    std::mutex mutex_;  // guards the interval's fields below
    Clock::time_point intervalStart_;
    std::uint64_t written_ = 0;
    std::uint64_t heldBack_ = 0;
    std::string lastHeldBack_;
};

// PreAuthLog::instance().write(level, text).
void logBeforeAuthentication(logging::LogLevel level, const std::string& text);

}  // namespace net
