#include "agent/Agent.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "agent/Options.h"
#include "crypto/CryptoLibrary.h"
#include "winutil/AgentOptions.h"
#include "winutil/Logger.h"
#include "winutil/RunState.h"
#include "winutil/ThreadGroup.h"

namespace agent {
namespace {

namespace fs = std::filesystem;

void openLogFile(const winutil::AgentOptions& options) {
    std::error_code error;
    if (!fs::is_directory(options.logDir(), error)) {
        fs::create_directory(options.logDir());  // throws filesystem_error naming the path
    }
    winutil::Logger::get().setFileLogger(std::make_shared<winutil::FileLogger>(options.logFile()));
}

// Serves until the running flag drops. Connections are accepted here once the server
// listener exists; until then the loop only watches the flag, with the same 3 s bound
// on noticing a stop.
void serveUntilStopped() {
    while (winutil::isRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

std::string bannerText() {
    return std::string(kProductBanner) + kProductVersion + " (" + "" + ")";
}

int run(const std::vector<std::string>& arguments) {
    int exitCode = 0;
    winutil::ThreadGroup threads;
    bool cryptoInitialised = false;
    try {
        winutil::logInfo() << bannerText();
        if (auto code = handleOptions(arguments)) {
            winutil::stoppedFlag() = 1;
            return *code;
        }
        auto options = winutil::agentOptions();
        crypto::CryptoLibrary::initialise();
        cryptoInitialised = true;
        openLogFile(*options);
        serveUntilStopped();
    } catch (const std::exception& error) {
        winutil::logError() << error.what();
    }

    winutil::runningFlag() = 0;
    threads.joinAll();
    if (cryptoInitialised)
        crypto::CryptoLibrary::cleanup();
    winutil::logInfo() << "Agent stopped";
    winutil::stoppedFlag() = 1;
    return exitCode;
}

}  // namespace agent
