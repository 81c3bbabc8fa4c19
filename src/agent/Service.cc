#include "agent/Service.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "agent/Agent.h"
#include "agent/ServiceStatusReporter.h"
#include "logging/Logger.h"
#include "platform/ErrorText.h"
#include "platform/EventLog.h"
#include "platform/Service.h"
#include "platform/System.h"
#include "runtime/RunState.h"

namespace agent {
namespace {

using namespace std::chrono_literals;

// The reporter of the running service main function, for the control handler; the mutex
// keeps it alive while the handler uses it.
std::mutex reporterMutex;
ServiceStatusReporter* activeReporter = nullptr;

void setActiveReporter(ServiceStatusReporter* reporter) {
    std::lock_guard<std::mutex> lock(reporterMutex);
    activeReporter = reporter;
}

std::string systemReason(const std::string& step) {
    const std::uint32_t code = platform::getLastError();
    return step + ": " + platform::errorText(code) + " (error " + std::to_string(code) + ")";
}

platform::ServiceConfig serviceConfig(const std::wstring& imagePath) {
    platform::ServiceConfig config;
    config.name = kServiceName;
    config.displayName = kServiceDisplayName;
    config.imagePath = imagePath;
    config.desiredAccess = platform::kServiceAllAccess;
    config.serviceType = platform::kServiceWin32OwnProcess;
    config.startType = platform::kServiceAutoStart;
    config.errorControl = platform::kServiceErrorNormal;
    return config;
}

}  // namespace

bool installService(std::string* reason) {
    const std::wstring imagePath = platform::getModuleFileName();
    if (imagePath.empty()) {
        *reason = systemReason("Cannot find the executable's path");
        return false;
    }
    auto manager = platform::openSCManager(platform::kScManagerAllAccess);
    if (!manager) {
        *reason = systemReason("Cannot open the service manager");
        return false;
    }
    auto service = platform::createService(*manager, serviceConfig(imagePath));
    if (!service) {
        *reason = systemReason("Cannot create the service");
        return false;
    }
    platform::ServiceSettings settings;
    settings.description = kServiceDescription;
    std::vector<std::wstring> unsupported;
    if (!platform::configureService(*service, settings, &unsupported)) {
        *reason = systemReason("Cannot set the service's description and recovery actions");
        platform::deleteService(*service);
        return false;
    }
    for (const std::wstring& setting : unsupported) {
        logging::logWarn() << "This system's service manager keeps no "
                           << platform::toNarrow(setting) << "; the service is installed without";
    }
    if (!platform::registerEventMessageFile(kServiceName, imagePath)) {
        *reason = systemReason("Cannot register the event source");
        platform::deleteService(*service);
        return false;
    }
    service->close();
    return true;
}

bool deleteService(std::string* reason) {
    auto manager = platform::openSCManager(platform::kScManagerAllAccess);
    if (!manager) {
        *reason = systemReason("Cannot open the service manager");
        return false;
    }
    auto service = platform::openService(*manager, kServiceName, platform::kServiceAllAccess);
    if (!service) {
        *reason = systemReason("Cannot open the service");
        return false;
    }
    if (!platform::deleteService(*service)) {
        *reason = systemReason("Cannot delete the service");
        return false;
    }
    if (!platform::deregisterEventMessageFile(kServiceName)) {
        *reason = systemReason("Cannot remove the event source");
        return false;
    }
    if (!service->close()) {
        *reason = systemReason("Cannot close the service");
        return false;
    }
    return true;
}

bool dispatchService() {
    return platform::startServiceCtrlDispatcher(kServiceName, serviceMain);
}

void serviceMain(const std::vector<std::wstring>& arguments) {
    platform::ServiceStatusHandle handle =
        platform::registerServiceCtrlHandler(kServiceName, serviceControlHandler);
    if (handle == 0) {
        logging::logError() << "RegisterServiceCtrlHandlerExW failed " << platform::getLastError();
        return;
    }
    ServiceStatusReporter reporter(
        [handle](const platform::ServiceStatus& status) {
            return platform::setServiceStatus(handle, status);
        },
        2s, 30s);
    reporter.startPending();
    setActiveReporter(&reporter);

    runtime::runningFlag() = 1;
    std::vector<std::string> narrow;
    narrow.reserve(arguments.size());
    for (const auto& argument : arguments)
        narrow.push_back(platform::toNarrow(argument));
    RunHooks hooks;
    // Running is reported once the agent listens: before that it cannot serve anyone, and a
    // start that fails must end as a failed start, not as a running service that vanishes.
    hooks.serving = [&reporter] { reporter.running(); };
    const int exitCode = run(narrow, hooks);

    setActiveReporter(nullptr);
    reporter.stopped(static_cast<std::uint32_t>(exitCode));
    if (exitCode != 0)
        logging::logError() << "The service stopped with exit code " << exitCode;
}

std::uint32_t serviceControlHandler(std::uint32_t control) {
    switch (control) {
        case platform::kServiceControlStop:
        case platform::kServiceControlShutdown:
        case platform::kServiceControlPreshutdown:
            logging::logWarn() << "Service is shutting down";
            runtime::runningFlag() = 0;
            // The run function notices the flag, lets running requests stop at their next check
            // and joins every thread; the service main function reports stopped after that. The
            // handler itself returns at once, as the service manager requires.
            {
                std::lock_guard<std::mutex> lock(reporterMutex);
                if (activeReporter != nullptr)
                    activeReporter->stopPending();
            }
            return platform::kNoError;
        case platform::kServiceControlInterrogate:
            return platform::kNoError;
        default:
            return platform::kErrorCallNotImplemented;
    }
}

}  // namespace agent
