#include "agent/Agent.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "agent/AgentOptions.h"
#include "agent/CleanupStack.h"
#include "agent/ModuleSettings.h"
#include "agent/OperatingSystem.h"
#include "agent/Options.h"
#include "agent/ServerListener.h"
#include "agent/StateFolders.h"
#include "agent/StatusPort.h"
#include "crypto/CryptoLibrary.h"
#include "logging/Logger.h"
#include "platform/Com.h"
#include "runtime/RunState.h"
#include "runtime/ThreadGroup.h"

namespace agent {
namespace {

namespace fs = std::filesystem;

void openLogFile(const agent::AgentOptions& options) {
    std::error_code error;
    if (!fs::is_directory(options.logDir(), error)) {
        fs::create_directory(options.logDir());  // throws filesystem_error naming the path
    }
    logging::Logger::get().setFileLogger(std::make_shared<logging::FileLogger>(options.logFile()));
}

// Serves until the running flag drops: starts the status port in the run function's
// thread group, opens the server listener and runs its accept loop on this thread; each
// connection gets its own thread in the same group.
void serveUntilStopped(runtime::ThreadGroup& threads, const agent::AgentOptions& options,
                       filter::ChangeTracker& changeTracker,
                       requests::RunningBackups& runningBackups, const RunHooks& hooks) {
    threads.createThread(
        [&runningBackups, timeout = options.timeout()] { runStatusPort(runningBackups, timeout); });
    auto listener = openServerListener(options.localPort(), options.recovery());
    if (hooks.serving)
        hooks.serving();
    runAcceptLoop(*listener, threads, admissionSettings(options),
                  requestContext(options, changeTracker, runningBackups));
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

int run(const std::vector<std::string>& arguments, const RunHooks& hooks) {
    // Both outlive every thread of the group, which is joined before they go.
    filter::ChangeTracker changeTracker;
    requests::RunningBackups runningBackups;
    runtime::ThreadGroup threads;
    CleanupStack cleanups;
    int exitCode = kExitStopped;
    try {
        logging::logInfo() << bannerText();
        if (auto code = handleOptions(arguments)) {
            runtime::stoppedFlag() = 1;
            return *code;
        }
        if (!changeTracker.open()) {
            runtime::stoppedFlag() = 1;
            return kExitNoControlDevice;
        }
        auto options = agent::agentOptions();
        crypto::CryptoLibrary::initialise();
        cleanups.push([] { crypto::CryptoLibrary::cleanup(); });
        openLogFile(*options);
        secureStateFolders(stateFolders(*options));
        // A restart that the driver survived continues every volume's tracking period.
        changeTracker.keepStateIn(options->dbDir() / "tracking");
        changeTracker.startMonitor();
        cleanups.push([&changeTracker] { changeTracker.stopMonitor(); });
        if (initialiseCom())
            cleanups.push([] { platform::coUninitialize(); });
        serveUntilStopped(threads, *options, changeTracker, runningBackups, hooks);
    } catch (const std::exception& error) {
        logging::logError() << error.what();
        // A service manager and a console user both need to see that the agent did not
        // simply stop: its recovery actions depend on a non-zero code.
        exitCode = kExitFailed;
    }

    runtime::runningFlag() = 0;
    threads.joinAll();
    cleanups.runAll();
    logging::logInfo() << "Agent stopped";
    runtime::stoppedFlag() = 1;
    return exitCode;
}

}  // namespace agent
