#include "logging/SystemLogger.h"

#include "logging/Logger.h"

namespace logging {

WindowsSystemLogger::WindowsSystemLogger(const std::wstring& sourceName)
    : sourceName_(sourceName), source_(platform::registerEventSource(sourceName)) {
    if (!source_) {
        logError() << "Could not register NT event source";
    }
}

void WindowsSystemLogger::log(LogLevel level, const std::wstring& text) {
    if (!source_)
        return;
    std::uint16_t type = level == kLogError  ? platform::kEventTypeError
                         : level == kLogWarn ? platform::kEventTypeWarning
                                             : platform::kEventTypeInformation;
    source_->report(type, 1, 3, text);
}

}  // namespace logging
