#include "agent/ConnectionLimit.h"

#include "logging/Logger.h"

namespace agent {

std::shared_ptr<ConnectionLimit::Slot> ConnectionLimit::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (active_ >= limit_) {
        if (refused_++ == 0) {
            logging::logWarn() << "Connection limit reached (" << limit_
                               << " connections): new connections are refused until one ends";
        }
        return nullptr;
    }
    ++active_;
    return std::make_shared<Slot>(shared_from_this());
}

std::size_t ConnectionLimit::active() {
    std::lock_guard<std::mutex> lock(mutex_);
    return active_;
}

void ConnectionLimit::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    --active_;
    if (refused_ > 0) {
        logging::logInfo() << "Below the connection limit again; " << refused_
                           << " connections were refused";
        refused_ = 0;
    }
}

}  // namespace agent
