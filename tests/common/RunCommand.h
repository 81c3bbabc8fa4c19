// Runs a shell command for a test, returning what it printed (standard output and error, or
// standard output alone when the errors are discarded); a command that cannot start or
// ends with a non-zero status fails the current test.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>

#include <cstdio>
#include <memory>
#include <string>

namespace test {

enum class ErrorOutput { kept, discarded };

inline std::string runCommand(const std::string& command, ErrorOutput errors = ErrorOutput::kept) {
    const char* redirect = errors == ErrorOutput::kept ? " 2>&1" : " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + redirect).c_str(), "r"),
                                               ::pclose);
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
