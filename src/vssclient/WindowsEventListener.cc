#include "vssclient/WindowsEventListener.h"

#include <algorithm>
#include <exception>

#include "logging/Logger.h"
#include "platform/ErrorText.h"
#include "platform/System.h"
#include "platform/WideText.h"
#include "runtime/Exceptions.h"

namespace vssclient {
namespace {

const wchar_t* const kLogName = L"Application";
// A failed snapshot writes a handful of entries; the cap keeps a flooded log from
// holding the request.
constexpr std::size_t kMaxRecords = 1000;

bool isSnapshotSource(const std::wstring& source) {
    return platform::equalsIgnoringCase(source, L"VSS") ||
           platform::equalsIgnoringCase(source, L"VOLSNAP");
}

std::wstring withoutLineBreaks(std::wstring text) {
    std::erase_if(text, [](wchar_t c) { return c == L'\r' || c == L'\n'; });
    return text;
}

}  // namespace

WindowsEventListener::WindowsEventListener() {
    eventLog = platform::openEventLog(kLogName);
    if (!eventLog)
        ZENTRAD_THROW(runtime::AgentException, "Could not open event log.");
    if (!eventLog->numberOfRecords(&recordCount))
        ZENTRAD_THROW(runtime::AgentException, "Failed to get the number of event logs");
    if (!eventLog->oldestRecord(&oldestRecord))
        ZENTRAD_THROW(runtime::AgentException, "Failed to get oldest event log");
    active = true;
}

void WindowsEventListener::logNewEvents() {
    if (!active)
        return;
    try {
        std::vector<platform::EventLogRecord> records;
        // An empty log reports 0 as its oldest record; its first record will be number 1.
        std::uint32_t first = std::max<std::uint32_t>(oldestRecord, 1) + recordCount;
        if (!eventLog->readForwardsFrom(first, kMaxRecords, &records)) {
            logging::logWarn() << "Could not read the event log: " << platform::lastErrorText();
            return;
        }
        for (const platform::EventLogRecord& record : records) {
            if (isSnapshotSource(record.sourceName))
                logRecord(record);
        }
    } catch (const std::exception& error) {
        logging::logWarn() << "Could not read the event log: " << error.what();
    }
}

void WindowsEventListener::logRecord(const platform::EventLogRecord& record) {
    std::wstring message;
    switch (platform::formatEventMessage(kLogName, record, &message)) {
        case platform::EventMessageResult::formatted:
            logging::logError() << platform::toNarrow(record.sourceName) << ": "
                                << platform::toNarrow(withoutLineBreaks(message));
            break;
        case platform::EventMessageResult::sourceKeyMissing:
            logging::logWarn() << "Unable to open registry key for log file";
            break;
        case platform::EventMessageResult::messageFileMissing:
            logging::logWarn() << "unable to query registry key value for log event";
            break;
        case platform::EventMessageResult::notFormatted:
            logging::logWarn() << "Could not format log message";
            break;
    }
}

}  // namespace vssclient
