#include "agent/Service.h"

#include <chrono>
#include <thread>

#include "agent/Agent.h"
#include "logging/Logger.h"
#include "platform/Service.h"
#include "platform/System.h"
#include "runtime/RunState.h"

namespace agent {
namespace {

platform::ServiceStatus serviceStatus;
platform::ServiceStatusHandle statusHandle = 0;

void reportStatus() {
    if (!platform::setServiceStatus(statusHandle, serviceStatus)) {
        logging::logError() << "SetServiceStatus failed " << platform::getLastError();
    }
}

}  // namespace

bool installService() {
    platform::ServiceConfig config;
    config.name = kServiceName;
    config.displayName = kServiceDisplayName;
    config.imagePath = platform::getCurrentDirectory() + platform::pathSeparator() +
                       platform::agentExecutableName();
    config.desiredAccess = platform::kServiceAllAccess;
    config.serviceType = platform::kServiceWin32OwnProcess;
    config.startType = platform::kServiceAutoStart;
    config.errorControl = platform::kServiceErrorNormal;

    auto manager = platform::openSCManager(platform::kScManagerAllAccess);
    if (!manager)
        return false;
    auto service = platform::createService(*manager, config);
    if (!service)
        return false;
    service->close();
    return true;
}

bool deleteService() {
    auto manager = platform::openSCManager(platform::kScManagerAllAccess);
    if (!manager)
        return false;
    auto service = platform::openService(*manager, kServiceName, platform::kServiceAllAccess);
    if (!service)
        return false;
    if (!platform::deleteService(*service))
        return false;
    return service->close();
}

bool dispatchService() {
    return platform::startServiceCtrlDispatcher(kServiceName, serviceMain);
}

void serviceMain(const std::vector<std::wstring>& arguments) {
    serviceStatus = platform::ServiceStatus{};
    serviceStatus.serviceType =
        platform::kServiceWin32OwnProcess | platform::kServiceWin32ShareProcess;
    serviceStatus.currentState = platform::kServiceStartPending;
    serviceStatus.controlsAccepted =
        platform::kServiceAcceptStop | platform::kServiceAcceptShutdown;

    statusHandle = platform::registerServiceCtrlHandler(kServiceName, serviceControlHandler);
    if (statusHandle == 0)
        return;

    serviceStatus.currentState = platform::kServiceRunning;
    serviceStatus.checkPoint = 0;
    serviceStatus.waitHint = 0;
    reportStatus();

    runtime::runningFlag() = 1;
    std::vector<std::string> narrow;
    narrow.reserve(arguments.size());
    for (const auto& argument : arguments)
        narrow.push_back(platform::toNarrow(argument));
    run(narrow);
}

void serviceControlHandler(std::uint32_t control) {
    if (control == platform::kServiceControlStop || control == platform::kServiceControlShutdown) {
        logging::logWarn() << "Service is shutting down";
        runtime::runningFlag() = 0;
        while (runtime::stoppedFlag() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        serviceStatus.currentState = platform::kServiceStopped;
        serviceStatus.win32ExitCode = 0;
        serviceStatus.checkPoint = 0;
        serviceStatus.controlsAccepted = 0;
    }
    reportStatus();
}

}  // namespace agent
