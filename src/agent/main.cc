// Entry point: run under the service control manager when started as a service,
// otherwise as a console program that stops in order on Ctrl-C or SIGTERM.
#include <memory>
#include <string>
#include <vector>

#include "agent/Agent.h"
#include "agent/Service.h"
#include "logging/Logger.h"
#include "platform/Service.h"
#include "runtime/RunState.h"

namespace {

void onConsoleStop() {
    logging::logWarn() << "Stop requested, shutting down";
    runtime::runningFlag() = 0;
}

}  // namespace

int main(int argc, char** argv) {
    logging::Logger::get().setSystemLogger(
        std::make_unique<logging::WindowsSystemLogger>(agent::kServiceName));
    if (agent::dispatchService()) {
        return 0;
    }
    std::vector<std::string> arguments(argv, argv + argc);
    auto stopHandler = platform::installConsoleStopHandler(onConsoleStop);
    return agent::run(arguments);
}
