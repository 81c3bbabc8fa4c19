// The run function: the whole life of the agent, from banner to orderly stop.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace agent {

inline constexpr const char* kProductBanner = "(Vardex Windows Backup Agent) ";
inline constexpr const char* kProductVersion = "2.27.0 build 11233";

// Exit codes of the run function besides those of the one-shot actions (help, install,
// delete: 0 or 1).
inline constexpr int kExitStopped = 0;          // stopped on request
inline constexpr int kExitNoControlDevice = 1;  // the change-tracking driver is missing
inline constexpr int kExitFailed = 2;           // start-up failed, or serving ended on an error

// Observers of the run function, for the service's status.
struct RunHooks {
    // Called once, on the run function's thread, when the agent listens for servers.
    std::function<void()> serving;
};

// Runs the agent with the given arguments (argv[0] first) until the running flag drops,
// then stops every facility in order and sets the stopped flag. Returns the process exit
// code: kExitStopped after a stop request, the code of a one-shot action, or a non-zero
// code when the agent could not start or stopped on an error (logged).
int run(const std::vector<std::string>& arguments, const RunHooks& hooks = {});

// "(Vardex Windows Backup Agent) 2.27.0 build 11233 (" + system description + ")".
std::string bannerText();

}  // namespace agent
