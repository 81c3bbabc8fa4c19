#include "backup-server/store/Progress.h"

#include <unistd.h>

#include <cstdio>
#include <iomanip>
#include <sstream>

namespace backup_server {

Progress::Progress(std::ostream& out, bool live, std::string what, std::string unit,
                   std::chrono::milliseconds interval)
    : out_(out),
      live_(live),
      what_(std::move(what)),
      unit_(std::move(unit)),
      interval_(live ? std::chrono::milliseconds(250) : interval),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

bool Progress::outputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

std::string Progress::line(std::uint64_t done, std::uint64_t bytes) const {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    double fraction = total_ > 0 ? static_cast<double>(done) / static_cast<double>(total_) : 0;
    std::ostringstream text;
    text << what_ << ": " << done;
    if (total_ > 0)
        text << " of " << total_;
    text << " " << unit_ << std::fixed << std::setprecision(1);
    if (total_ > 0)
        text << " (" << 100 * fraction << "%)";
    text << ", " << (seconds > 0 ? static_cast<double>(bytes) / (1 << 20) / seconds : 0) << " MB/s";
    if (fraction > 0.001 && fraction < 1) {
        auto left = static_cast<long long>(seconds / fraction - seconds);
        text << ", " << left / 3600 << ":" << std::setw(2) << std::setfill('0') << left / 60 % 60
             << ":" << std::setw(2) << left % 60 << " left";
    }
    return text.str();
}

void Progress::update(std::uint64_t done, std::uint64_t bytes) {
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < interval_)
        return;
    last_ = now;
    if (live_) {
        out_ << "\r\033[K" << line(done, bytes) << std::flush;
        shown_ = true;
    } else {
        out_ << line(done, bytes) << "\n" << std::flush;
    }
}

void Progress::finish() {
    if (live_ && shown_)
        out_ << "\r\033[K" << std::flush;
    shown_ = false;
}

}  // namespace backup_server
