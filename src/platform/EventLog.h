// The Windows event log as a sink for the agent's log lines. The emulated host writes
// the events to syslog (facility daemon, identity = source name).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

constexpr std::uint16_t kEventTypeError = 1;
constexpr std::uint16_t kEventTypeWarning = 2;
constexpr std::uint16_t kEventTypeInformation = 4;

class EventSource {
  public:
    virtual ~EventSource() = default;
    // ReportEventW with one insertion string and no raw data.
    virtual bool report(std::uint16_t type, std::uint16_t category, std::uint32_t eventId,
                        const std::wstring& text) = 0;
};

// RegisterEventSourceW; null when registration failed. Deregistered when destroyed.
std::unique_ptr<EventSource> registerEventSource(const std::wstring& sourceName);

// Records the message file for the source under the Application log's registry key;
// false (last error set) when the key or a value cannot be written. Installing the service
// does this once, so an ordinary run (or --help) changes nothing in the registry.
bool registerEventMessageFile(const std::wstring& sourceName, const std::wstring& executablePath);
// Removes the source's registry key; true when it is gone (also when it never existed).
bool deregisterEventMessageFile(const std::wstring& sourceName);

}  // namespace platform
