// Runs hostsim, the command line that builds and changes emulated hosts, on one host. The
// build passes the tool's path as HOSTSIM_PATH to every suite that includes this.
#pragma once

#include <filesystem>
#include <string>

#include "common/RunCommand.h"

namespace test {

// The shell command that runs hostsim with arguments on the host at root.
inline std::string hostsimCommand(const std::filesystem::path& root, const std::string& arguments) {
    return std::string(HOSTSIM_PATH) + " --root '" + root.string() + "' " + arguments;
}

// Runs hostsim on the host at root; returns its output (fails the test when hostsim fails).
inline std::string hostsim(const std::filesystem::path& root, const std::string& arguments) {
    return runCommand(hostsimCommand(root, arguments));
}

}  // namespace test
