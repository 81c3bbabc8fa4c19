// Command line and configuration file handling: builds the process-wide AgentOptions.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace agent {

// Parses the arguments (argv[0] first) and "zentrad.conf", publishes AgentOptions and
// carries out the one-shot actions (help, install, delete). Returns the process exit code
// when the agent must end here instead of running. Parse errors are logged ("Error parsing
// command line arguments: ..." or "Error parsing config file: ...") and rethrown.
std::optional<int> handleOptions(const std::vector<std::string>& arguments);

}  // namespace agent
