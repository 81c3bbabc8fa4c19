#include "yin/RequestThread.h"

#include "logging/Logger.h"

namespace yin {

void RequestThread::installNetLogger() const {
    logging::Logger::get().setNetLogger(netLogger_);
}

}  // namespace yin
