// Trace lines, code names and the texts of snapshot failures.
#include <gtest/gtest.h>

#include "platform/Vss.h"
#include "vssclient/FunctionTracer.h"
#include "vssclient/TraceFormat.h"
#include "vssclient/VssCodeTranslator.h"
#include "vssclient/VssMessages.h"
#include "vssclient/VssUtil.h"

namespace {

using namespace vssclient;

TEST(TraceFormat, FormatsLikePrintfWithTypedArguments) {
    EXPECT_EQ(formatTrace(L"- Adding volume %s [%s] to the shadow set...",
                          {std::wstring(L"\\\\?\\Volume{1}\\"), "C:\\"}),
              L"- Adding volume \\\\?\\Volume{1}\\ [C:\\] to the shadow set...");
    EXPECT_EQ(formatTrace(L"- Returned HRESULT = 0x%08lx", {0x80042301u}),
              L"- Returned HRESULT = 0x80042301");
    EXPECT_EQ(formatTrace(L"{%.8x-%.4x}", {0x1fu, std::uint16_t{0xa}}), L"{0000001f-000a}");
    EXPECT_EQ(formatTrace(L"%d%% of %ld", {-5, 7L}), L"-5% of 7");
    // A format asking for more than it was given prints a marker instead of reading garbage.
    EXPECT_EQ(formatTrace(L"%s and %s", {L"one"}), L"one and <missing>");
}

TEST(TraceFormat, OverlongTextThrowsInsufficientBufferSpace) {
    std::wstring huge(kTraceBufferChars + 1, L'x');
    try {
        formatTrace(L"%s", {huge});
        FAIL() << "no exception";
    } catch (const runtime::AgentException& error) {
        EXPECT_EQ(error.message(), "Insufficient buffer space");
    }
}

void tracedFunction() {
    VSS_FUNCTION_TRACER(L"VssClient::CreateSnapshotSet");
    ft.writeLine(
        L"Creating shadow set %s ...",
        guid2WString(platform::Guid{0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}}));
}

TEST(FunctionTracer, SilentUntilEnabledThenEnterExitAndStepLines) {
    // The flag is process-wide and never cleared; ctest runs each test in its own process.
    if (FunctionTracer::isTracingEnabled())
        GTEST_SKIP() << "tracing was enabled earlier in this process";
    testing::internal::CaptureStderr();
    tracedFunction();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    testing::internal::CaptureStderr();
    FunctionTracer::enableTracingMode();
    tracedFunction();
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_NE(trace.find("ENTER FunctionTracer::EnableTracingMode"), std::string::npos);
    EXPECT_NE(trace.find("[[VssClient::CreateSnapshotSet @ DiagnosticsTest.cc:"),
              std::string::npos);
    EXPECT_NE(trace.find("]] ENTER VssClient::CreateSnapshotSet\n"), std::string::npos);
    EXPECT_NE(trace.find("]] Creating shadow set {12345678-9abc-def0-0102-030405060708} ...\n"),
              std::string::npos);
    EXPECT_NE(trace.find("]] EXIT VssClient::CreateSnapshotSet\n"), std::string::npos);
}

TEST(VssCodes, TableCodesAreNamedWithTheirTexts) {
    EXPECT_EQ(VssCodeTranslator::instance().rows(), 28u);
    EXPECT_EQ(
        syncFailureMessage(L"m_pVssObject->DoSnapshotSet(&pAsync)",
                           platform::kVssEInsufficientStorage),
        "An error occured while executing VSS operation 'm_pVssObject->DoSnapshotSet(&pAsync)'.  "
        "VSS_E_INSUFFICIENT_STORAGE - There are not enough contiguous blocks on disk to create a "
        "shadow "
        "copy.  This problem can usually be resolved by freeing up space and defragmenting the "
        "associated "
        "volume.");
    EXPECT_EQ(codeName(platform::kVssSAsyncCancelled), L"VSS_S_ASYNC_CANCELLED");
    EXPECT_EQ(codeName(platform::kSOk), L"S_OK");
    EXPECT_EQ(codeName(platform::kEOutOfMemory), L"E_OUTOFMEMORY");
}

TEST(VssCodes, CodesOutsideTheTableShowAsEightHexDigits) {
    EXPECT_EQ(asyncFailureMessage(L"VssClient::DoSnapshotSet", platform::kEAccessDenied),
              "An error occurred during the asynchronous execution of VSS operation "
              "'VssClient::DoSnapshotSet'.  "
              "0x80070005");
    EXPECT_EQ(vssCodeLabel(5), "0x00000005");
    // Trace lines name such codes by the system's text, or admit they cannot.
    EXPECT_EQ(codeName(platform::kEAccessDenied), L"Access is denied.");
    EXPECT_EQ(codeName(platform::hresult(0x80049999)), L"<Unknown error code>");
    EXPECT_EQ(VssCodeTranslator::instance().getText(0x80070005),
              L"0x80070005: Access is denied.\n");
    EXPECT_EQ(VssCodeTranslator::instance().getText(0x80049999),
              L"0x80049999: Unable to display error message.\n");
}

TEST(VssMessages, SnapshotFailuresCarryNoLocationSuffix) {
    VssOperationException error(timeoutMessage(L"VssClient::DoSnapshotSet"), "void f()", 12);
    std::string text = error.what();
    EXPECT_EQ(text.rfind("Volume Shadow Copy timed out while executing 'VssClient::DoSnapshotSet'. "
                         " This happens",
                         0),
              0u);
    EXPECT_NE(text.find("Run zentrad.exe -h for more information.  "), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 2), "  ");
    // The COM-call pattern keeps the family's suffix.
    FunctionTracer ft(L"file", 1, L"f");
    try {
        throwComCallFailure(ft, L"CreateVssBackupComponents(&m_pVssObject)",
                            platform::kCoENotInitialized, "void g()", 7);
    } catch (const runtime::VssException& failure) {
        EXPECT_STREQ(failure.what(),
                     "COM call CreateVssBackupComponents(&m_pVssObject) failed (0x800401f0): "
                     "<Unknown error code> "
                     "(void g():7)");
    }
}

TEST(VssUtil, GuidTextRoundTripsAndWriterStatesAreNamed) {
    platform::Guid guid{0xdeadbeef, 0x0102, 0xa0b0, {0xff, 0, 1, 2, 3, 4, 5, 6}};
    EXPECT_EQ(guid2WString(guid), L"{deadbeef-0102-a0b0-ff00-010203040506}");
    EXPECT_EQ(wString2Guid(L"{DEADBEEF-0102-A0B0-FF00-010203040506}"), guid);
    EXPECT_TRUE(wString2Guid(L"{deadbeef-0102}").isNull());
    EXPECT_EQ(getStringFromWriterStatus(0), L"Undefined");
    EXPECT_EQ(getStringFromWriterStatus(8), L"VSS_WS_FAILED_AT_PREPARE_SNAPSHOT");
    EXPECT_EQ(getStringFromWriterStatus(14), L"VSS_WS_FAILED_AT_POST_RESTORE");
    EXPECT_EQ(getStringFromWriterStatus(15), L"Unknown constant: 15");
    EXPECT_TRUE(isFailedWriterState(6));
    EXPECT_FALSE(isFailedWriterState(5));
}

}  // namespace
