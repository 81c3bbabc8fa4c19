#include "net/PreAuthLog.h"

#include "logging/Logger.h"
#include "net/LocalLogOnly.h"

namespace net {

PreAuthLog& PreAuthLog::instance() {
    static PreAuthLog log;
    return log;
}

PreAuthLog::PreAuthLog(std::function<Clock::time_point()> now)
    : now_(std::move(now)), intervalStart_(now_()) {}

void PreAuthLog::write(logging::LogLevel level, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        rollInterval(now_());
        if (written_ >= kLinesPerInterval) {
            ++heldBack_;
            lastHeldBack_ = text;
        } else {
            ++written_;
            logging::logAt(level) << text;
            return;
        }
    }
    logging::Logger& logger = logging::Logger::get();
    std::shared_ptr<logging::NetLogger> peer = logger.getNetLogger();
    if (peer && level != logging::kLogDebug) {
        std::lock_guard<std::mutex> lock(logger.writeMutex());
        peer->write(level, text);
    }
}

void PreAuthLog::flushIfDue() {
    std::lock_guard<std::mutex> lock(mutex_);
    rollInterval(now_());
}

void PreAuthLog::rollInterval(Clock::time_point now) {
    if (now - intervalStart_ < kInterval)
        return;
    if (heldBack_ > 0) {
        // The summary speaks of other peers: it is not for this thread's peer.
        LocalLogOnly local;
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - intervalStart_);
        logging::logWarn() << heldBack_
                           << " more lines about connections that had not authenticated were "
                              "left out of the log in the last "
                           << seconds.count() << " s (the last: " << lastHeldBack_ << ")";
    }
    intervalStart_ = now;
    written_ = 0;
    heldBack_ = 0;
    lastHeldBack_.clear();
}

void logBeforeAuthentication(logging::LogLevel level, const std::string& text) {
    PreAuthLog::instance().write(level, text);
}

}  // namespace net
