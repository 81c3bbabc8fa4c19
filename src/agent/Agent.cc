#include "agent/Agent.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "agent/OperatingSystem.h"
#include "agent/Options.h"
#include "agent/ServerListener.h"
#include "agent/StatusPort.h"
#include "crypto/CryptoLibrary.h"
#include "filter/FilterInterface.h"
#include "logging/Logger.h"
#include "platform/Com.h"
#include "runtime/RunState.h"
#include "runtime/ThreadGroup.h"
#include "winutil/AgentOptions.h"

namespace agent {
namespace {

namespace fs = std::filesystem;

void openLogFile(const winutil::AgentOptions& options) {
    std::error_code error;
    if (!fs::is_directory(options.logDir(), error)) {
        fs::create_directory(options.logDir());  // throws filesystem_error naming the path
    }
    logging::Logger::get().setFileLogger(std::make_shared<logging::FileLogger>(options.logFile()));
}

// Serves until the running flag drops: starts the status port in the run function's
// thread group, opens the server listener and runs its accept loop on this thread; each
// connection gets its own thread in the same group.
void serveUntilStopped(runtime::ThreadGroup& threads) {
    threads.createThread(runStatusPort);
    auto listener = openServerListener();
    runAcceptLoop(*listener, threads);
}

// COM for the snapshot service, multithreaded, with packet-privacy authentication and
// impersonation, as the snapshot service requires of its clients.
bool initialiseCom() {
    bool initialised =
        platform::succeeded(platform::coInitializeEx(platform::kCoInitMultithreaded));
    platform::coInitializeSecurity(platform::kAllAuthenticationServices,
                                   platform::kRpcCAuthnLevelPktPrivacy,
                                   platform::kRpcCImpLevelImpersonate, platform::kEoacNone);
    return initialised;
}

}  // namespace

std::string bannerText() {
    return std::string(kProductBanner) + kProductVersion + " (" + describeOperatingSystem() + ")";
}

int run(const std::vector<std::string>& arguments) {
    runtime::ThreadGroup threads;
    bool cryptoInitialised = false;
    bool monitorStarted = false;
    bool comInitialised = false;
    try {
        logging::logInfo() << bannerText();
        if (auto code = handleOptions(arguments)) {
            runtime::stoppedFlag() = 1;
            return *code;
        }
        if (!filter::FilterInterface::open()) {
            runtime::stoppedFlag() = 1;
            return 1;
        }
        auto options = winutil::agentOptions();
        crypto::CryptoLibrary::initialise();
        cryptoInitialised = true;
        openLogFile(*options);
        filter::FilterInterface::startMonitor();
        monitorStarted = true;
        comInitialised = initialiseCom();
        serveUntilStopped(threads);
    } catch (const std::exception& error) {
        logging::logError() << error.what();
    }

    runtime::runningFlag() = 0;
    threads.joinAll();
    if (comInitialised)
        platform::coUninitialize();
    if (monitorStarted)
        filter::FilterInterface::stopMonitor();
    if (cryptoInitialised)
        crypto::CryptoLibrary::cleanup();
    logging::logInfo() << "Agent stopped";
    runtime::stoppedFlag() = 1;
    return 0;
}

}  // namespace agent
