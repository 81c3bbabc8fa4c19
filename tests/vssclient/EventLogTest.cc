// The snapshot service's entries of the Application log as the backup copies them into
// the agent's log, and the emulated log's own storage.
#include "SnapshotHost.h"
#include "platform/EventLog.h"
#include "platform/EventLogReader.h"
#include "platform/emulated/snapshot/EventLogFile.h"
#include "vssclient/WindowsEventListener.h"

namespace snapshot_test {
namespace {

class EventLogTest : public SnapshotHost {
  protected:
    platform::emulated::EventLogFile log() {
        return platform::emulated::EventLogFile(platform::emulated::Host::current(),
                                                L"Application");
    }
    std::string copiedLines(vssclient::WindowsEventListener& listener) {
        testing::internal::CaptureStdout();
        listener.logNewEvents();
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(EventLogTest, StringsSurviveTheLogFileWhateverTheyHold) {
    std::vector<std::wstring> strings = {L"tab\there", L"line\r\nend", L"back\\slash", L""};
    std::uint32_t first = log().append(L"VSS", platform::kEventTypeWarning, 12289, strings);
    std::uint32_t second = log().append(L"VOLSNAP", platform::kEventTypeError, 25, {L"x"});
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    std::vector<platform::EventLogRecord> records = log().readAll();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].strings, strings);
    EXPECT_EQ(records[0].eventId, 12289u);
    EXPECT_EQ(records[0].eventType, platform::kEventTypeWarning);
    EXPECT_EQ(records[1].sourceName, L"VOLSNAP");
    EXPECT_EQ(records[1].recordNumber, 2u);
}

TEST_F(EventLogTest, OnlyNewSnapshotEntriesAreCopiedWithoutLineBreaks) {
    log().append(L"VSS", platform::kEventTypeError, 1, {L"old entry"});
    vssclient::WindowsEventListener listener;
    log().append(L"volsnap", platform::kEventTypeError, 25, {L"shadow copies\r\nwere aborted"});
    log().append(L"Application Error", platform::kEventTypeError, 1000, {L"an unrelated crash"});
    std::string copied = copiedLines(listener);
    EXPECT_NE(copied.find("ERROR volsnap: shadow copieswere aborted\n"), std::string::npos)
        << copied;
    EXPECT_EQ(copied.find("old entry"), std::string::npos);
    EXPECT_EQ(copied.find("unrelated"), std::string::npos);
    EXPECT_EQ(copied.find("Unable to open registry key"), std::string::npos);
}

TEST_F(EventLogTest, MessageFilesAreLookedUpPerSource) {
    appendConfig(
        "[event source VSS]\n"
        "message file = vssapi\n"
        "message 8193 = Volume Shadow Copy Service error: Unexpected error calling routine %1.  hr "
        "= %2.\n"
        "[event source VOLSNAP]\n"
        "[event source Vss]\n"
        "registered = no\n");
    vssclient::WindowsEventListener listener;
    log().append(L"VSS", platform::kEventTypeError, 8193, {L"CoCreateInstance", L"0x80040154"});
    log().append(L"VSS", platform::kEventTypeError, 8193, {L"only one string"});
    log().append(L"VSS", platform::kEventTypeError, 9999, {L"no such message"});
    log().append(L"VOLSNAP", platform::kEventTypeError, 25, {L"no message file"});
    log().append(L"Vss", platform::kEventTypeError, 1, {L"no registry key"});
    std::string copied = copiedLines(listener);
    EXPECT_NE(
        copied.find("ERROR VSS: Volume Shadow Copy Service error: Unexpected error calling routine "
                    "CoCreateInstance.  hr = 0x80040154.\n"),
        std::string::npos)
        << copied;
    std::size_t first = copied.find("WARN Could not format log message");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(copied.find("WARN Could not format log message", first + 1), std::string::npos);
    EXPECT_NE(copied.find("WARN unable to query registry key value for log event"),
              std::string::npos);
    EXPECT_NE(copied.find("WARN Unable to open registry key for log file"), std::string::npos);
}

TEST_F(EventLogTest, EmptyLogGivesNothingNew) {
    vssclient::WindowsEventListener listener;
    EXPECT_EQ(copiedLines(listener), "");
    log().append(L"VSS", platform::kEventTypeError, 8193, {L"first ever entry"});
    EXPECT_NE(copiedLines(listener).find("ERROR VSS: first ever entry"), std::string::npos);
}

}  // namespace
}  // namespace snapshot_test
