// The event log on the emulated host is syslog.
#include "platform/EventLog.h"

#include <syslog.h>

#include <mutex>

#include "platform/System.h"

namespace platform {
namespace {

// openlog keeps the identity pointer, so the string must outlive every syslog call.
std::mutex identityMutex;  // guards identity and the openlog call that takes it
std::string identity;

class SyslogEventSource : public EventSource {
  public:
    explicit SyslogEventSource(const std::wstring& sourceName) {
        std::lock_guard<std::mutex> lock(identityMutex);
        if (identity.empty()) {
            identity = toNarrow(sourceName);
            ::openlog(identity.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
        }
    }

    bool report(std::uint16_t type, std::uint16_t, std::uint32_t,
                const std::wstring& text) override {
        int priority = type == kEventTypeError     ? LOG_ERR
                       : type == kEventTypeWarning ? LOG_WARNING
                                                   : LOG_INFO;
        ::syslog(LOG_DAEMON | priority, "%s", toNarrow(text).c_str());
        return true;
    }
};

}  // namespace

std::unique_ptr<EventSource> registerEventSource(const std::wstring& sourceName) {
    return std::make_unique<SyslogEventSource>(sourceName);
}

bool registerEventMessageFile(const std::wstring&, const std::wstring&) {
    return true;  // syslog needs no message file
}

bool deregisterEventMessageFile(const std::wstring&) {
    return true;
}

}  // namespace platform
