// Runs a shell command for a test, returning what it printed (standard output and error);
// a command that cannot start or ends with a non-zero status fails the current test.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>

#include <cstdio>
#include <memory>
#include <string>

namespace test {

inline std::string runCommand(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return {};
    }
    std::string output;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        output.append(buffer, n);
    EXPECT_EQ(::pclose(pipe.release()), 0) << command << "\n" << output;
    return output;
}

}  // namespace test
