// The service control manager, the event log and the snapshot service through the Windows
// side of the seam. The snapshot service is a stub under Wine; its test says so by skipping.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/Com.h"
#include "platform/Errors.h"
#include "platform/EventLog.h"
#include "platform/EventLogReader.h"
#include "platform/Service.h"
#include "platform/System.h"
#include "platform/Vss.h"

namespace {

using namespace platform;

std::wstring uniqueName(const wchar_t* prefix) {
    std::random_device random;
    return prefix + std::to_wstring(random());
}

TEST(ServiceSeamTest, InstallsOpensAndDeletesAService) {
    auto manager = openSCManager(kScManagerAllAccess);
    ASSERT_TRUE(manager && manager->valid()) << getLastError();

    ServiceConfig config;
    config.name = uniqueName(L"zentrad-test-");
    config.displayName = L"zentrad seam test";
    config.imagePath = getModuleFileName();
    {
        auto created = createService(*manager, config);
        ASSERT_TRUE(created) << getLastError();
    }
    // The same name again is refused with the documented error.
    EXPECT_FALSE(createService(*manager, config));
    EXPECT_EQ(getLastError(), kErrorServiceExists);

    auto service = openService(*manager, config.name, kServiceAllAccess);
    ASSERT_TRUE(service) << getLastError();
    EXPECT_TRUE(deleteService(*service));
    EXPECT_TRUE(service->close());
    EXPECT_FALSE(service->close());

    EXPECT_FALSE(openService(*manager, config.name, kServiceAllAccess));
    EXPECT_EQ(getLastError(), kErrorServiceDoesNotExist);
}

TEST(ServiceSeamTest, EventSourceReports) {
    auto source = registerEventSource(L"zentrad-test");
    ASSERT_TRUE(source) << getLastError();
    EXPECT_TRUE(source->report(kEventTypeInformation, 0, 1, L"seam test entry"));
}

// The registry values of an event source point at the executable, whose message table
// turns event 3 into its insertion string unchanged and names category 1.
TEST(ServiceSeamTest, EventMessagesComeFromTheExecutablesTable) {
    const std::wstring source = uniqueName(L"zentrad-test-source-");
    ASSERT_TRUE(registerEventMessageFile(source, getModuleFileName())) << getLastError();
    EventLogRecord record;
    record.sourceName = source;
    record.eventId = 3;
    record.strings = {L"Backup of C: finished"};
    std::wstring message;
    ASSERT_EQ(formatEventMessage(L"Application", record, &message), EventMessageResult::formatted);
    EXPECT_EQ(message, L"Backup of C: finished");

    record.eventId = 1;
    ASSERT_EQ(formatEventMessage(L"Application", record, &message), EventMessageResult::formatted);
    EXPECT_EQ(message, L"First category event");
    record.eventId = 2;
    ASSERT_EQ(formatEventMessage(L"Application", record, &message), EventMessageResult::formatted);
    EXPECT_EQ(message, L"Second category event");
    // An identifier the table does not hold is reported, not invented.
    record.eventId = 4;
    EXPECT_EQ(formatEventMessage(L"Application", record, &message),
              EventMessageResult::notFormatted);
}

TEST(ServiceSeamTest, SnapshotServiceAnswersOrIsAStub) {
    ComInitialization com;
    std::unique_ptr<VssBackupComponents> components;
    HResult result = createVssBackupComponents(&components);
    if (failed(result) || !components)
        GTEST_SKIP() << "the snapshot service is not available (HRESULT 0x" << std::hex
                     << static_cast<std::uint32_t>(result) << "): Wine implements it as a stub";
    result = components->initializeForBackup(nullptr);
    if (result == kENotImpl)
        GTEST_SKIP() << "InitializeForBackup is a stub here";
    EXPECT_TRUE(succeeded(result)) << std::hex << result;
}

}  // namespace
