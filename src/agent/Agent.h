// The run function: the whole life of the agent, from banner to orderly stop.
#pragma once

#include <string>
#include <vector>

namespace agent {

inline constexpr const char* kProductBanner = "(Vardex Windows Backup Agent) ";
inline constexpr const char* kProductVersion = "2.27.0 build 11233";

// Runs the agent with the given arguments (argv[0] first) until the running flag drops,
// then stops every facility in order and sets the stopped flag. Returns the process exit
// code: 0 after a normal stop, or the code of a one-shot action or start-up failure.
int run(const std::vector<std::string>& arguments);

// "(Vardex Windows Backup Agent) 2.27.0 build 11233 (" + system description + ")".
std::string bannerText();

}  // namespace agent
