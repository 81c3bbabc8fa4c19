// The emulated host's Application event log: the text file eventlog/Application under the
// host root, one record per line, numbered from 1 in file order. Appends and reads hold a
// lock on the file (eventlog/Application.lock), so several processes may share it.
//
// host.conf can describe the message files of event sources:
//
//   [event source NAME]        the source is registered (its registry key exists)
//   registered = no            ... unless this says otherwise
//   message file = NAME        its EventMessageFile value (any text; without it the value
//                              is missing)
//   message ID = TEMPLATE      the message of event ID; %1 .. %9 insert the record's strings
//                              (no such key: the message cannot be formatted)
//
// Without such a section the sources the emulated snapshot service writes ("VSS" and
// "VOLSNAP") have the message "%1" for every event; other sources are unregistered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/EventLogReader.h"
#include "platform/emulated/Host.h"

namespace platform::emulated {

class EventLogFile {
  public:
    EventLogFile(Host& host, const std::wstring& logName);

    // Appends a record numbered after the last one; returns its number. Throws
    // std::runtime_error when the file cannot be written.
    std::uint32_t append(const std::wstring& source, std::uint16_t type, std::uint32_t eventId,
                         const std::vector<std::wstring>& strings);
    // Every record in order (a missing file is an empty log).
    std::vector<EventLogRecord> readAll() const;

  private:
    std::vector<EventLogRecord> readUnlocked() const;

    std::filesystem::path file_;
    std::filesystem::path lockFile_;
};

}  // namespace platform::emulated
