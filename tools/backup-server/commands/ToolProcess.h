// Runs this tool again as a child process (one backup, forget or partition list of the
// jobs runner): a crash or a hang-up in one job then ends only that job, and the child's
// exit status says what happened (busy, unreachable, store in use, failed).
#pragma once

#include <string>
#include <vector>

namespace backup_server {

struct ToolOutcome {
    int status = -1;     // the exit status; -1 when the child did not exit normally
    std::string output;  // standard output
    std::string errors;  // standard error
    // The last line of standard error, or a description of how the child ended.
    std::string reason() const;
};

// Runs /proc/self/exe with arguments (argv[1]...) and waits for it. Throws
// std::runtime_error when it cannot be started.
ToolOutcome runThisTool(const std::vector<std::string>& arguments);

}  // namespace backup_server
