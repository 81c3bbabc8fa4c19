// The system log sink: the Windows event log (syslog on the emulated host).
#pragma once

#include <memory>
#include <string>

#include "logging/LogLevel.h"
#include "platform/EventLog.h"

namespace logging {

class SystemLogger {
  public:
    virtual ~SystemLogger() = default;
    virtual void log(LogLevel level, const std::wstring& text) = 0;
};

// Opens the event source on construction (its message file is registered by installing the
// service, not by every run); when that fails it logs "Could not register NT event source" and
// stays silent.
class WindowsSystemLogger : public SystemLogger {
  public:
    explicit WindowsSystemLogger(const std::wstring& sourceName);
    void log(LogLevel level, const std::wstring& text) override;

  private:
    std::wstring sourceName_;
    std::unique_ptr<platform::EventSource> source_;
};

}  // namespace logging
