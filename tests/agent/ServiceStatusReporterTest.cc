#include "agent/ServiceStatusReporter.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::ServiceStatus;

class Recorder {
  public:
    bool operator()(const ServiceStatus& status) {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses_.push_back(status);
        return true;
    }
    std::vector<ServiceStatus> statuses() {
        std::lock_guard<std::mutex> lock(mutex_);
        return statuses_;
    }

  private:
    std::mutex mutex_;
    std::vector<ServiceStatus> statuses_;
};

// Waits until a status with the given state and at least the given check point was reported.
bool reached(Recorder& recorder, std::uint32_t state, std::uint32_t checkPoint) {
    for (int i = 0; i < 500; ++i) {
        for (const ServiceStatus& status : recorder.statuses())
            if (status.currentState == state && status.checkPoint >= checkPoint)
                return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Pending states advance their check point on their own while the agent works; the settled
// states carry none, and only running accepts controls.
TEST(ServiceStatusReporter, PendingStatesAdvanceAndSettledStatesDoNot) {
    Recorder recorder;
    agent::ServiceStatusReporter reporter(std::ref(recorder), 5ms, 30s);
    reporter.startPending();
    ASSERT_TRUE(reached(recorder, platform::kServiceStartPending, 3));
    reporter.running();
    const std::size_t whenRunning = recorder.statuses().size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(whenRunning, recorder.statuses().size());  // no beats while running
    ServiceStatus running = reporter.current();
    EXPECT_EQ(running.currentState, platform::kServiceRunning);
    EXPECT_EQ(running.checkPoint, 0u);
    EXPECT_EQ(running.waitHint, 0u);
    EXPECT_EQ(running.controlsAccepted,
              platform::kServiceAcceptStop | platform::kServiceAcceptPreshutdown);

    reporter.stopPending();
    ServiceStatus stopping = reporter.current();
    EXPECT_EQ(stopping.currentState, platform::kServiceStopPending);
    EXPECT_EQ(stopping.controlsAccepted, 0u);
    EXPECT_EQ(stopping.waitHint, 30000u);
    ASSERT_TRUE(reached(recorder, platform::kServiceStopPending, 3));
    reporter.stopped(0);

    // Check points never go backwards within one pending state.
    std::uint32_t last = 0;
    for (const ServiceStatus& status : recorder.statuses()) {
        if (status.currentState != platform::kServiceStopPending)
            continue;
        EXPECT_GT(status.checkPoint, last);
        last = status.checkPoint;
    }
    ServiceStatus stopped = recorder.statuses().back();
    EXPECT_EQ(stopped.currentState, platform::kServiceStopped);
    EXPECT_EQ(stopped.win32ExitCode, platform::kNoError);
    EXPECT_EQ(stopped.serviceSpecificExitCode, 0u);
}

// A failed start ends in stopped with the service-specific error and its code, and nothing
// is reported after a stop (a late stop control changes nothing).
TEST(ServiceStatusReporter, AFailureStopsWithTheServiceSpecificCodeAndStopIsFinal) {
    Recorder recorder;
    agent::ServiceStatusReporter reporter(std::ref(recorder), 1h, 30s);
    reporter.startPending();
    reporter.stopped(2);
    reporter.stopPending();
    reporter.running();
    auto statuses = recorder.statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[1].currentState, platform::kServiceStopped);
    EXPECT_EQ(statuses[1].win32ExitCode, platform::kErrorServiceSpecificError);
    EXPECT_EQ(statuses[1].serviceSpecificExitCode, 2u);
    EXPECT_EQ(statuses[1].checkPoint, 0u);
}

}  // namespace
