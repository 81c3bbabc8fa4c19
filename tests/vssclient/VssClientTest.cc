// The snapshot client against the emulated snapshot service: writer selection, failed
// writers, time-outs, failures and what the event log says about them.
#include <fstream>
#include <sstream>

#include "SnapshotHost.h"
#include "platform/EventLog.h"
#include "platform/System.h"
#include "platform/emulated/snapshot/EventLogFile.h"
#include "runtime/Exceptions.h"
#include "vssclient/FunctionTracer.h"
#include "vssclient/VssClient.h"
#include "vssclient/VssMessages.h"
#include "vssclient/VssUtil.h"
#include "vssclient/WindowsEventListener.h"

namespace snapshot_test {
namespace {

using vssclient::VssClient;

std::string fileText(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const vssclient::VssWriter& writerNamed(const VssClient& client, const std::wstring& name) {
    for (const auto& writer : client.writers()) {
        if (writer.name == name)
            return writer;
    }
    throw std::runtime_error("no writer " + platform::toNarrow(name));
}

const vssclient::VssComponent& component(const vssclient::VssWriter& writer,
                                         const std::wstring& fullPath) {
    for (const auto& c : writer.components) {
        if (c.fullPath == fullPath)
            return c;
    }
    throw std::runtime_error("no component " + platform::toNarrow(fullPath));
}

std::string failureOf(VssClient& client, const std::vector<std::wstring>& volumes,
                      const std::vector<std::wstring>& selection = {}) {
    try {
        client.initialize(0);
        client.createSnapshotSet(volumes, L"", {}, selection);
    } catch (const runtime::VssException& error) {
        return error.what();
    }
    return "no failure";
}

using VssClientTest = SnapshotHost;

TEST_F(VssClientTest, ComponentsOutsideTheSetAreExcludedWithTheirAncestors) {
    appendConfig(
        "[writer Mail Writer]\n"
        "component = | store | database | selectable\n"
        "component = store | logs | filegroup | selectable\n"
        "component = store | index | filegroup | selectable\n"
        "component = | archive | database | fixed\n"
        "database file = store | C:\\mail | *.edb | flat\n"
        "log file = store\\logs | D:\\logs | *.log | recursive\n"
        "file = store\\index | C:\\mail\\index | * | flat\n"
        "file = archive | C:\\archive | *.pst | flat\n"
        "[writer Remote Writer]\n"
        "component = | data | filegroup | fixed\n"
        "file = data | D:\\data | * | recursive\n"
        "[writer Empty Writer]\n"
        "[writer Fixed Writer]\n"
        "component = | all | filegroup | fixed\n"
        "component = all | part | filegroup | selectable\n"
        "file = all | C:\\fixed | * | flat\n"
        "file = all\\part | D:\\fixed | * | flat\n");
    VssClient client(timeoutSeconds());
    client.initialize(0);
    client.createSnapshotSet({volumeC()}, L"C:\\components.xml", {}, {});

    const auto& mail = writerNamed(client, L"Mail Writer");
    EXPECT_FALSE(mail.isExcluded);
    EXPECT_TRUE(component(mail, L"store\\logs").isExcluded);
    EXPECT_TRUE(component(mail, L"store").isExcluded) << "the ancestor of an excluded component";
    EXPECT_TRUE(component(mail, L"store").isTopLevel);
    EXPECT_FALSE(component(mail, L"store\\index").isTopLevel);
    // A selectable part whose files are all in the set goes in on its own.
    EXPECT_TRUE(component(mail, L"store\\index").isExplicitlyIncluded);
    EXPECT_TRUE(component(mail, L"archive").isExplicitlyIncluded);
    EXPECT_EQ(component(mail, L"archive").affectedVolumes, std::vector<std::wstring>{volumeC()});
    EXPECT_TRUE(writerNamed(client, L"Remote Writer").isExcluded);
    EXPECT_TRUE(writerNamed(client, L"Empty Writer").isExcluded);
    // Its top-level component cannot be selected on its own and lost a part.
    EXPECT_TRUE(writerNamed(client, L"Fixed Writer").isExcluded);

    // Only the included components reached the service.
    std::string document = fileText(root_ / "drives" / "C" / "components.xml");
    EXPECT_NE(document.find("componentName=\"archive\""), std::string::npos) << document;
    EXPECT_EQ(document.find("componentName=\"store\""), std::string::npos);
    EXPECT_NE(document.find("logicalPath=\"store\" componentName=\"index\""), std::string::npos);
    EXPECT_EQ(document.find("componentName=\"logs\""), std::string::npos);
    EXPECT_EQ(document.find("componentName=\"data\""), std::string::npos);
    EXPECT_EQ(document.find("componentName=\"all\""), std::string::npos);
    client.backupComplete(true);
}

TEST_F(VssClientTest, ExplicitSelectionIsVerified) {
    appendConfig(
        "[writer Mail Writer]\n"
        "component = | store | database | fixed\n"
        "file = store | D:\\mail | *.edb | flat\n");
    // The selected component's files are all on D.
    VssClient client(timeoutSeconds());
    EXPECT_NE(failureOf(client, {volumeC()}, {L"Mail Writer:store"}), "no failure");
    VssClient other(timeoutSeconds());
    EXPECT_EQ(failureOf(other, {volumeC()}, {L"Unknown Writer"}),
              "The writer \"Unknown Writer\" was not found");
}

TEST_F(VssClientTest, SelectedWriterFailingAtTheSnapshotOnlyWarns) {
    appendConfig(
        "[writer Mail Writer]\n"
        "component = | store | database | fixed\n"
        "file = store | C:\\mail | *.edb | flat\n"
        "state after DoSnapshotSet = 8 0x800423f4\n");
    VssClient client(timeoutSeconds());
    testing::internal::CaptureStdout();
    client.initialize(0);
    client.createSnapshotSet({volumeC()}, L"", {}, {});
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("WARN Selected writer 'Mail Writer' is in failed state"), std::string::npos)
        << log;
    EXPECT_TRUE(client.isSnapshotDone());
    EXPECT_EQ(client.getSnapshotIds().size(), 1u);
    client.backupComplete(true);
}

TEST_F(VssClientTest, HungStepIsCancelledAtTheTimeOutAndCompletionIsSkipped) {
    appendConfig("[snapshot service]\nhang DoSnapshotSet = yes\n");
    setTimeoutSeconds(1);
    VssClient client(timeoutSeconds());
    EXPECT_EQ(failureOf(client, {volumeC()}),
              vssclient::timeoutMessage(L"VssClient::DoSnapshotSet"));
    EXPECT_FALSE(std::filesystem::exists(snapshotDir() / "registry"));

    vssclient::FunctionTracer::enableTracingMode();
    testing::internal::CaptureStderr();
    client.backupComplete(false);
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_NE(
        trace.find(
            "- Skipping BackupComplete & SetBackupSucceeded.  DoSnapshotSet was not completed..."),
        std::string::npos)
        << trace;
    EXPECT_EQ(trace.find("Completing the backup"), std::string::npos);
    EXPECT_EQ(trace.find("Mark all writers"), std::string::npos);
}

// A set that was started and then failed is aborted with the service before the failure is
// reported; a failing abort is only a warning and keeps the failure that led to it.
class VssAbortTest : public SnapshotHost {
  protected:
    void expectAbortedAfterFailure(bool abortFails);
};

void VssAbortTest::expectAbortedAfterFailure(bool abortFails) {
    appendConfig(std::string("[snapshot service]\nfail PrepareForBackup = 0x8004231F\n") +
                 (abortFails ? "fail AbortBackup = 0x80042301\n" : ""));
    setTimeoutSeconds(0);
    VssClient client(timeoutSeconds());
    vssclient::FunctionTracer::enableTracingMode();
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const std::string failure = failureOf(client, {volumeC()});
    const std::string trace = testing::internal::GetCapturedStderr();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(failure, vssclient::asyncFailureMessage(L"VssClient::PrepareForBackup",
                                                      platform::kVssEInsufficientStorage));
    EXPECT_NE(trace.find("Aborting the backup (AbortBackup)"), std::string::npos) << trace;
    EXPECT_EQ(log.find("WARN AbortBackup failed with 0x80042301") != std::string::npos, abortFails)
        << log;
}

TEST_F(VssAbortTest, AFailureAfterTheSetStartedAbortsTheBackup) {
    expectAbortedAfterFailure(false);
}

TEST_F(VssAbortTest, AFailingAbortKeepsTheFailureThatLedToIt) {
    expectAbortedAfterFailure(true);
}

TEST_F(VssClientTest, SlowStepWithinTheTimeOutSucceeds) {
    appendConfig("[snapshot service]\ndelay PrepareForBackup = 300\ndelay DoSnapshotSet = 300\n");
    setTimeoutSeconds(1);
    VssClient client(timeoutSeconds());
    EXPECT_EQ(failureOf(client, {volumeC()}), "no failure");
    EXPECT_EQ(client.getSnapshotIds().size(), 1u);
}

TEST_F(VssClientTest, FailedStepWithoutTimeOutIsReportedAndLoggedFromTheEventLog) {
    appendConfig(
        "[snapshot service]\nfail DoSnapshotSet = 0x8004231F\ndelay DoSnapshotSet = 200\n");
    setTimeoutSeconds(0);
    vssclient::WindowsEventListener listener;
    VssClient client(timeoutSeconds());
    EXPECT_EQ(failureOf(client, {volumeC()}),
              vssclient::asyncFailureMessage(L"VssClient::DoSnapshotSet",
                                             platform::kVssEInsufficientStorage));

    testing::internal::CaptureStdout();
    listener.logNewEvents();
    std::string copied = testing::internal::GetCapturedStdout();
    EXPECT_NE(
        copied.find(
            "ERROR VSS: Volume Shadow Copy Service error: DoSnapshotSet failed with 0x8004231f."),
        std::string::npos)
        << copied;
}

// An unknown volume, the same volume twice, and a failure the service was told to give.
TEST_F(VssClientTest, SynchronousFailuresNameTheCallAndTheCode) {
    const std::string call =
        "An error occured while executing VSS operation "
        "'m_pVssObject->AddToSnapshotSet((LPWSTR)volume.c_str(), "
        "GUID_NULL, &SnapshotID)'.  ";
    VssClient unknownVolume;
    EXPECT_EQ(failureOf(unknownVolume, {L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\"}),
              call +
                  "VSS_E_OBJECT_NOT_FOUND - The specified shadow copies were not found or the "
                  "backup component "
                  "does not exist.");
    VssClient twice(timeoutSeconds());
    EXPECT_EQ(failureOf(twice, {volumeC(), volumeC()}),
              call +
                  "VSS_E_OBJECT_ALREADY_EXISTS - An attempt was made to create an object which "
                  "already exists.");
    appendConfig("[snapshot service]\nfail AddToSnapshotSet = 0x80070005\n");
    VssClient denied(timeoutSeconds());
    EXPECT_EQ(failureOf(denied, {volumeC()}), call + "0x80070005");
}

TEST_F(VssClientTest, ServiceNeedsComOnTheCallingThread) {
    platform::coUninitialize();
    VssClient client(timeoutSeconds());
    std::string failure = failureOf(client, {volumeC()});
    EXPECT_EQ(
        failure.rfind("COM call CreateVssBackupComponents(&m_pVssObject) failed (0x800401f0): ", 0),
        0u)
        << failure;
    platform::coInitializeEx(platform::kCoInitMultithreaded);
}

TEST_F(VssClientTest, WriterPathsExpandEnvironmentVariables) {
    ::setenv("ZENTRAD_TEST_MAIL", "D:\\mail", 1);
    appendConfig(
        "[writer Mail Writer]\n"
        "component = | store | database | fixed\n"
        "file = store | %ZENTRAD_TEST_MAIL%\\db | *.edb | flat\n");
    VssClient client(timeoutSeconds());
    client.initialize(0);
    client.createSnapshotSet({volumeC()}, L"", {}, {});
    ::unsetenv("ZENTRAD_TEST_MAIL");
    const auto& store = component(writerNamed(client, L"Mail Writer"), L"store");
    ASSERT_EQ(store.descriptors.size(), 1u);
    EXPECT_EQ(store.descriptors[0].expandedPath, L"D:\\mail\\db\\");
    EXPECT_EQ(store.affectedVolumes, std::vector<std::wstring>{volumeD()});
    EXPECT_TRUE(writerNamed(client, L"Mail Writer").isExcluded);
}

TEST_F(VssClientTest, CompletionReportsEveryIncludedComponentAndItsFailure) {
    appendConfig(
        "[writer Mail Writer]\n"
        "component = | store | database | fixed\n"
        "file = store | C:\\mail | *.edb | flat\n"
        "[snapshot service]\n"
        "fail BackupComplete = 0x80042319\n");
    vssclient::FunctionTracer::enableTracingMode();
    VssClient client(timeoutSeconds());
    client.initialize(0);
    testing::internal::CaptureStderr();
    client.createSnapshotSet({volumeC()}, L"", {}, {});
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_NE(trace.find("   - Add component store"), std::string::npos) << trace;
    EXPECT_NE(trace.find("* SNAPSHOT ID = " + platform::toNarrow(vssclient::guid2WString(
                                                  client.getSnapshotIds().at(0)))),
              std::string::npos);
    EXPECT_NE(trace.find("   - Original Volume name: " + platform::toNarrow(volumeC()) + " [C:\\]"),
              std::string::npos);

    testing::internal::CaptureStderr();
    try {
        client.backupComplete(true);
        ADD_FAILURE() << "no exception";
    } catch (const runtime::VssException& error) {
        EXPECT_EQ(std::string(error.what()),
                  vssclient::asyncFailureMessage(L"VssClient::BackupComplete",
                                                 platform::kVssEWriterNotResponding));
    }
    trace = testing::internal::GetCapturedStderr();
    EXPECT_NE(trace.find("- Mark all writers as succesfully backed up... "), std::string::npos);
    EXPECT_NE(trace.find("ENTER VssClient::SetBackupSucceeded"), std::string::npos);
    EXPECT_NE(trace.find("Completing the backup (BackupComplete) ... "), std::string::npos);
}

TEST_F(VssClientTest, MalformedWriterDeclarationFailsCreationAndSaysWhy) {
    appendConfig("[writer Broken]\ncomponent = only two | fields\n");
    VssClient client(timeoutSeconds());
    std::string failure = failureOf(client, {volumeC()});
    EXPECT_EQ(
        failure.rfind(
            "COM call CreateVssBackupComponents(&m_pVssObject) failed (0x8000ffff): E_UNEXPECTED",
            0),
        0u)
        << failure;
    auto records =
        platform::emulated::EventLogFile(platform::emulated::Host::current(), L"Application")
            .readAll();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].strings.at(0).find(L"component: expected 4 fields"), std::wstring::npos);
}

}  // namespace
}  // namespace snapshot_test
