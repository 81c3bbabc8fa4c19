// Reading the event log on Windows: OpenEventLogW, ReadEventLogW and the sources' message
// files (registry, LoadLibraryExW, FormatMessageW).
#include "platform/EventLogReader.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/Environment.h"
#include "platform/win32/NativeHandle.h"

namespace platform {
namespace {

// The largest record Windows writes is 0x7FFFF bytes; a larger answer is refused.
constexpr DWORD kMaxRecordBuffer = 0x80000;

using win32::EventLogHandle;
using win32::RegistryKey;

// A message file loaded as data, only to read its message table.
win32::ModuleHandle loadDataModule(const std::wstring& path) {
    return win32::ModuleHandle(::LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | DONT_RESOLVE_DLL_REFERENCES));
}

// A NUL-terminated wide string at offset inside the record, bounded by the record.
bool stringAt(const std::vector<BYTE>& record, std::size_t offset, std::size_t end,
              std::wstring* text, std::size_t* next) {
    text->clear();
    for (std::size_t at = offset; at + sizeof(wchar_t) <= end; at += sizeof(wchar_t)) {
        wchar_t c;
        std::memcpy(&c, record.data() + at, sizeof c);
        if (c == L'\0') {
            *next = at + sizeof(wchar_t);
            return true;
        }
        text->push_back(c);
    }
    return false;
}

// One EVENTLOGRECORD, every offset checked against its length.
bool parseRecord(const std::vector<BYTE>& buffer, std::size_t offset, std::size_t end,
                 EventLogRecord* out) {
    if (end - offset < sizeof(EVENTLOGRECORD))
        return false;
    EVENTLOGRECORD header;
    std::memcpy(&header, buffer.data() + offset, sizeof header);
    if (header.Length < sizeof(EVENTLOGRECORD) || header.Length > end - offset)
        return false;
    std::size_t recordEnd = offset + header.Length;
    std::size_t next = 0;
    out->recordNumber = header.RecordNumber;
    out->eventId = header.EventID;
    out->eventType = header.EventType;
    if (!stringAt(buffer, offset + sizeof(EVENTLOGRECORD), recordEnd, &out->sourceName, &next))
        return false;
    out->strings.clear();
    std::size_t at = offset + header.StringOffset;
    for (WORD i = 0; i < header.NumStrings; ++i) {
        std::wstring text;
        if (header.StringOffset >= header.Length || !stringAt(buffer, at, recordEnd, &text, &at))
            return false;
        out->strings.push_back(std::move(text));
    }
    return true;
}

class Win32EventLogReader : public EventLogReader {
  public:
    explicit Win32EventLogReader(HANDLE handle) : log_(handle) {}

    bool numberOfRecords(std::uint32_t* count) override {
        DWORD value = 0;
        if (!::GetNumberOfEventLogRecords(log_.get(), &value))
            return false;
        *count = value;
        return true;
    }
    bool oldestRecord(std::uint32_t* recordNumber) override {
        DWORD value = 0;
        if (!::GetOldestEventLogRecord(log_.get(), &value))
            return false;
        *recordNumber = value;
        return true;
    }
    bool readForwardsFrom(std::uint32_t recordNumber, std::size_t maxRecords,
                          std::vector<EventLogRecord>* records) override;

  private:
    EventLogHandle log_;
};

bool Win32EventLogReader::readForwardsFrom(std::uint32_t recordNumber, std::size_t maxRecords,
                                           std::vector<EventLogRecord>* records) {
    records->clear();
    std::vector<BYTE> buffer(sizeof(EVENTLOGRECORD));
    DWORD read = 0, needed = 0;
    // Position the log: a seek read into a buffer too small for any record answers error
    // 122 and leaves the log positioned at the record.
    if (!::ReadEventLogW(log_.get(), EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, recordNumber,
                         buffer.data(), 0, &read, &needed)) {
        DWORD error = ::GetLastError();
        if (error == ERROR_INVALID_PARAMETER || error == ERROR_HANDLE_EOF)
            return true;  // no record with that number yet: nothing new
        if (error != ERROR_INSUFFICIENT_BUFFER)
            return false;
    }
    while (records->size() < maxRecords) {
        if (!::ReadEventLogW(log_.get(), EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0,
                             buffer.data(), static_cast<DWORD>(buffer.size()), &read, &needed)) {
            DWORD error = ::GetLastError();
            if (error == ERROR_HANDLE_EOF)
                return true;
            if (error != ERROR_INSUFFICIENT_BUFFER || needed > kMaxRecordBuffer)
                return false;
            buffer.resize(needed);
            continue;
        }
        for (std::size_t offset = 0; offset < read && records->size() < maxRecords;) {
            EventLogRecord record;
            if (!parseRecord(buffer, offset, read, &record))
                break;
            DWORD length;
            std::memcpy(&length, buffer.data() + offset, sizeof length);
            offset += length;
            if (record.recordNumber >= recordNumber)
                records->push_back(std::move(record));
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<EventLogReader> openEventLog(const std::wstring& logName) {
    HANDLE handle = ::OpenEventLogW(nullptr, logName.c_str());
    if (handle == nullptr)
        return nullptr;
    return std::make_unique<Win32EventLogReader>(handle);
}

EventMessageResult formatEventMessage(const std::wstring& logName, const EventLogRecord& record,
                                      std::wstring* message) {
    std::wstring keyPath =
        L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + logName + L"\\" + record.sourceName;
    RegistryKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS)
        return EventMessageResult::sourceKeyMissing;
    std::vector<wchar_t> value(MAX_PATH * 4, L'\0');
    DWORD size = static_cast<DWORD>((value.size() - 1) * sizeof(wchar_t));
    if (::RegQueryValueExW(key.get(), L"EventMessageFile", nullptr, nullptr,
                           reinterpret_cast<LPBYTE>(value.data()), &size) != ERROR_SUCCESS)
        return EventMessageResult::messageFileMissing;
    std::wstring file;
    if (!expandEnvironmentStrings(value.data(), &file))
        return EventMessageResult::notFormatted;
    // Several message files may be listed; the first one holds the messages.
    file = file.substr(0, file.find(L';'));
    win32::ModuleHandle module = loadDataModule(file);
    if (!module)
        return EventMessageResult::notFormatted;
    // FormatMessageW reads as many arguments as the message names: pad with empty strings
    // so that a message asking for more than the record holds reads nothing beyond them.
    std::vector<DWORD_PTR> arguments(100, reinterpret_cast<DWORD_PTR>(L""));
    for (std::size_t i = 0; i < record.strings.size() && i < arguments.size(); ++i)
        arguments[i] = reinterpret_cast<DWORD_PTR>(record.strings[i].c_str());
    win32::LocalText buffer;
    DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                             FORMAT_MESSAGE_ARGUMENT_ARRAY,
                         module.get(), record.eventId, 0, reinterpret_cast<LPWSTR>(buffer.put()), 0,
                         reinterpret_cast<va_list*>(arguments.data()));
    if (length == 0 || !buffer)
        return EventMessageResult::notFormatted;
    message->assign(buffer.get(), length);
    return EventMessageResult::formatted;
}

}  // namespace platform
