#include "yin/RequestThread.h"

#include "winutil/Logger.h"

namespace yin {

void RequestThread::installNetLogger() const {
    winutil::Logger::get().setNetLogger(netLogger_);
}

}  // namespace yin
