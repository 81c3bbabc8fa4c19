#include "agent/ServiceStatusReporter.h"

#include "logging/Logger.h"
#include "platform/System.h"

namespace agent {
namespace {

bool isPending(std::uint32_t state) {
    return state == platform::kServiceStartPending || state == platform::kServiceStopPending;
}

}  // namespace

ServiceStatusReporter::ServiceStatusReporter(Sink sink, std::chrono::milliseconds heartbeat,
                                             std::chrono::milliseconds waitHint)
    : sink_(std::move(sink)), heartbeat_(heartbeat), waitHint_(waitHint) {
    status_.serviceType = platform::kServiceWin32OwnProcess;
    heartbeatThread_ = std::thread([this] { beat(); });
}

ServiceStatusReporter::~ServiceStatusReporter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
    heartbeatThread_.join();
}

void ServiceStatusReporter::startPending() {
    enter(platform::kServiceStartPending, 0, 0);
}

void ServiceStatusReporter::running() {
    enter(platform::kServiceRunning,
          platform::kServiceAcceptStop | platform::kServiceAcceptPreshutdown, 0);
}

void ServiceStatusReporter::stopPending() {
    enter(platform::kServiceStopPending, 0, 0);
}

void ServiceStatusReporter::stopped(std::uint32_t exitCode) {
    enter(platform::kServiceStopped, 0, exitCode);
}

platform::ServiceStatus ServiceStatusReporter::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

void ServiceStatusReporter::enter(std::uint32_t state, std::uint32_t controls,
                                  std::uint32_t exitCode) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status_.currentState == platform::kServiceStopped)
            return;
        // A stop control while already stopping repeats the status with the next check point.
        const bool samePending = isPending(state) && status_.currentState == state;
        status_.currentState = state;
        status_.controlsAccepted = controls;
        status_.checkPoint = isPending(state) ? (samePending ? status_.checkPoint + 1 : 1) : 0;
        status_.waitHint = isPending(state) ? static_cast<std::uint32_t>(waitHint_.count()) : 0;
        status_.win32ExitCode =
            exitCode == 0 ? platform::kNoError : platform::kErrorServiceSpecificError;
        status_.serviceSpecificExitCode = exitCode;
        report(status_);
    }
    changed_.notify_all();
}

void ServiceStatusReporter::report(const platform::ServiceStatus& status) {
    if (!sink_(status))
        logging::logError() << "SetServiceStatus failed " << platform::getLastError();
}

void ServiceStatusReporter::beat() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ended_) {
        const std::uint32_t state = status_.currentState;
        const std::uint32_t checkPoint = status_.checkPoint;
        changed_.wait_for(lock, heartbeat_);
        if (ended_)
            break;
        // Only a pending state that nothing else has advanced in the meantime needs a beat.
        if (isPending(status_.currentState) && status_.currentState == state &&
            status_.checkPoint == checkPoint) {
            ++status_.checkPoint;
            report(status_);
        }
    }
}

}  // namespace agent
