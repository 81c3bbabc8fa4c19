#include "platform/emulated/snapshot/EventLogFile.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/System.h"
#include "platform/emulated/snapshot/FileLock.h"

namespace platform::emulated {
namespace {

// Fields are tab-separated; backslash escapes keep tabs and line ends inside strings.
std::string escape(const std::wstring& text) {
    std::string out;
    for (char c : toNarrow(text)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::wstring unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char next = text[++i];
        out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return toWide(out);
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(
            line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

// "TYPE<tab>EVENT ID<tab>SOURCE<tab>STRING..."; damaged lines keep their number but no source.
EventLogRecord parseRecord(const std::string& line, std::uint32_t number) {
    EventLogRecord record;
    record.recordNumber = number;
    std::vector<std::string> fields = split(line);
    if (fields.size() < 3)
        return record;
    try {
        record.eventType = static_cast<std::uint16_t>(std::stoul(fields[0]));
        record.eventId = static_cast<std::uint32_t>(std::stoul(fields[1]));
    } catch (const std::exception&) {
        // A damaged line keeps its number and nothing else (see above).
        return record;
    }
    record.sourceName = unescape(fields[2]);
    for (std::size_t i = 3; i < fields.size(); ++i)
        record.strings.push_back(unescape(fields[i]));
    return record;
}

}  // namespace

EventLogFile::EventLogFile(Host& host, const std::wstring& logName)
    : file_(host.root() / "eventlog" / toNarrow(logName)), lockFile_(file_) {
    lockFile_ += ".lock";
}

std::uint32_t EventLogFile::append(const std::wstring& source, std::uint16_t type,
                                   std::uint32_t eventId,
                                   const std::vector<std::wstring>& strings) {
    std::filesystem::create_directories(file_.parent_path());
    FileLock lock(lockFile_, FileLock::Mode::exclusive);
    auto number = static_cast<std::uint32_t>(readUnlocked().size() + 1);
    std::ofstream out(file_, std::ios::binary | std::ios::app);
    out << type << '\t' << eventId << '\t' << escape(source);
    for (const std::wstring& s : strings)
        out << '\t' << escape(s);
    out << '\n';
    out.flush();
    if (!out)
        throw std::runtime_error("cannot append to " + file_.string());
    return number;
}

std::vector<EventLogRecord> EventLogFile::readAll() const {
    if (!std::filesystem::exists(file_.parent_path()))
        return {};
    FileLock lock(lockFile_, FileLock::Mode::shared);
    return readUnlocked();
}

std::vector<EventLogRecord> EventLogFile::readUnlocked() const {
    std::vector<EventLogRecord> records;
    std::ifstream in(file_, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        records.push_back(parseRecord(line, static_cast<std::uint32_t>(records.size() + 1)));
    }
    return records;
}

}  // namespace platform::emulated
