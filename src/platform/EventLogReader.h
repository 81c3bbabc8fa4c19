// Reading the Windows event log (OpenEventLogW, GetNumberOfEventLogRecords,
// GetOldestEventLogRecord, ReadEventLogW) and formatting a record's message from its
// source's message file (the registry's EventMessageFile, LoadLibraryExW, FormatMessageW).
//
// The emulated host keeps the Application log as a text file under the host root
// ("eventlog/Application"), appended to by the emulated snapshot service under a file
// lock; the agent's own event lines go to syslog (platform/EventLog.h), not into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct EventLogRecord {
    std::uint32_t recordNumber = 0;
    std::uint32_t eventId = 0;
    std::uint16_t eventType = 0;
    std::wstring sourceName;
    std::vector<std::wstring> strings;
};

class EventLogReader {
  public:
    virtual ~EventLogReader() = default;
    // GetNumberOfEventLogRecords / GetOldestEventLogRecord; false with the last error set.
    virtual bool numberOfRecords(std::uint32_t* count) = 0;
    virtual bool oldestRecord(std::uint32_t* recordNumber) = 0;
    // Seeks to recordNumber (a seek read forwards) and reads forwards sequentially to the
    // end of the log, at most maxRecords records. A record number past the end gives no
    // records and true. False with the last error set on any other failure.
    virtual bool readForwardsFrom(std::uint32_t recordNumber, std::size_t maxRecords,
                                  std::vector<EventLogRecord>* records) = 0;
};

// OpenEventLogW on the local machine; null with the last error set on failure.
std::unique_ptr<EventLogReader> openEventLog(const std::wstring& logName);

enum class EventMessageResult {
    formatted,
    sourceKeyMissing,    // the source's registry key could not be opened
    messageFileMissing,  // its EventMessageFile value could not be read
    notFormatted,        // the message file could not be loaded or has no such message
};

// The record's message text from its source's message file, with the record's strings
// inserted, as FormatMessageW gives it (line ends kept).
EventMessageResult formatEventMessage(const std::wstring& logName, const EventLogRecord& record,
                                      std::wstring* message);

}  // namespace platform
