// Reading the emulated host's event log (see EventLogFile.h).
#include "platform/EventLogReader.h"

#include <exception>

#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/WideText.h"
#include "platform/emulated/snapshot/EventLogFile.h"

namespace platform {
namespace {

class EmulatedEventLogReader : public EventLogReader {
  public:
    EmulatedEventLogReader(emulated::Host& host, const std::wstring& logName)
        : file_(host, logName) {}

    bool numberOfRecords(std::uint32_t* count) override {
        std::vector<EventLogRecord> records;
        if (!readAll(&records))
            return false;
        *count = static_cast<std::uint32_t>(records.size());
        return true;
    }

    bool oldestRecord(std::uint32_t* recordNumber) override {
        std::vector<EventLogRecord> records;
        if (!readAll(&records))
            return false;
        *recordNumber = records.empty() ? 0 : records.front().recordNumber;
        return true;
    }

    bool readForwardsFrom(std::uint32_t recordNumber, std::size_t maxRecords,
                          std::vector<EventLogRecord>* records) override {
        std::vector<EventLogRecord> all;
        if (!readAll(&all))
            return false;
        records->clear();
        for (EventLogRecord& record : all) {
            if (record.recordNumber >= recordNumber && records->size() < maxRecords)
                records->push_back(std::move(record));
        }
        return true;
    }

  private:
    bool readAll(std::vector<EventLogRecord>* records) {
        try {
            *records = file_.readAll();
            return true;
        } catch (const std::exception&) {
            setLastError(kErrorReadFault);
            return false;
        }
    }

    emulated::EventLogFile file_;
};

bool isServiceSource(const std::wstring& source) {
    return equalsIgnoringCase(source, L"VSS") || equalsIgnoringCase(source, L"VOLSNAP");
}

// Inserts %1 .. %9; false when the template asks for a string the record lacks.
bool insertStrings(const std::string& pattern, const EventLogRecord& record,
                   std::wstring* message) {
    std::wstring out;
    std::wstring text = toWide(pattern);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 1 < text.size() && text[i + 1] >= L'1' && text[i + 1] <= L'9') {
            auto index = static_cast<std::size_t>(text[++i] - L'1');
            if (index >= record.strings.size())
                return false;
            out += record.strings[index];
        } else {
            out += text[i];
        }
    }
    *message = out + L"\r\n";
    return true;
}

}  // namespace

std::unique_ptr<EventLogReader> openEventLog(const std::wstring& logName) {
    return std::make_unique<EmulatedEventLogReader>(emulated::Host::current(), logName);
}

EventMessageResult formatEventMessage(const std::wstring&, const EventLogRecord& record,
                                      std::wstring* message) {
    emulated::HostConfig config = emulated::Host::current().config();
    std::string section = "event source " + toNarrow(record.sourceName);
    if (!config.hasSection(section)) {
        if (!isServiceSource(record.sourceName))
            return EventMessageResult::sourceKeyMissing;
        return insertStrings("%1", record, message) ? EventMessageResult::formatted
                                                    : EventMessageResult::notFormatted;
    }
    if (config.get(section, "registered", "yes") == "no")
        return EventMessageResult::sourceKeyMissing;
    if (!config.get(section, "message file"))
        return EventMessageResult::messageFileMissing;
    auto pattern = config.get(section, "message " + std::to_string(record.eventId));
    if (!pattern || !insertStrings(*pattern, record, message))
        return EventMessageResult::notFormatted;
    return EventMessageResult::formatted;
}

}  // namespace platform
