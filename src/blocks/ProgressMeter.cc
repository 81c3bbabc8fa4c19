#include "blocks/ProgressMeter.h"

#include <cstdio>

#include "logging/Logger.h"

namespace blocks {
namespace {

std::string duration(std::uint64_t seconds) {
    char text[64];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%llu h %llu min",
                      static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds % 3600 / 60));
    } else if (seconds >= 60) {
        std::snprintf(text, sizeof text, "%llu min %llu s",
                      static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    } else {
        std::snprintf(text, sizeof text, "%llu s", static_cast<unsigned long long>(seconds));
    }
    return text;
}

}  // namespace

std::string progressLine(const std::string& what, std::uint64_t done, std::uint64_t total,
                         std::uint64_t blockSize, std::chrono::milliseconds elapsed) {
    std::string line = what + ": " + std::to_string(done);
    if (total > 0) {
        char percent[32];
        std::snprintf(
            percent, sizeof percent, " (%.1f%%)",
            100.0 * static_cast<double>(std::min(done, total)) / static_cast<double>(total));
        line += " of " + std::to_string(total) + " blocks" + percent;
    } else {
        line += " blocks";
    }
    double seconds = static_cast<double>(elapsed.count()) / 1000.0;
    if (done == 0 || seconds <= 0)
        return line;
    double blocksPerSecond = static_cast<double>(done) / seconds;
    char rate[32];
    std::snprintf(rate, sizeof rate, ", %.1f MB/s",
                  blocksPerSecond * static_cast<double>(blockSize) / 1e6);
    line += rate;
    if (total > done)
        line += ", about " +
                duration(static_cast<std::uint64_t>(
                    static_cast<double>(total - done) / blocksPerSecond + 0.5)) +
                " left";
    return line;
}

ProgressMeter::ProgressMeter(std::string what, std::uint64_t blockSize,
                             std::chrono::milliseconds interval)
    : what_(std::move(what)), blockSize_(blockSize), interval_(interval) {
    start();
}

void ProgressMeter::start() {
    start_ = Clock::now();
    next_ = start_ + interval_;
}

void ProgressMeter::update(std::uint64_t done, const std::string& suffix) {
    Clock::time_point now = Clock::now();
    if (now < next_)
        return;
    next_ = now + interval_;
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_);
    logging::logInfo() << progressLine(what_, done, total_, blockSize_, elapsed) << suffix;
}

}  // namespace blocks
