#include "backup-server/commands/ToolProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace backup_server {
namespace {

// An unlinked temporary file: the child writes into it, the parent reads it back.
class CaptureFile {
  public:
    CaptureFile() {
        char name[] = "/tmp/backup-server-job.XXXXXX";
        handle_ = ::mkstemp(name);
        if (handle_ < 0)
            throw std::runtime_error(std::string("cannot make a temporary file: ") +
                                     std::strerror(errno));
        ::unlink(name);
    }
    ~CaptureFile() { ::close(handle_); }
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    int handle() const { return handle_; }
    std::string text() const {
        std::string text;
        char buffer[65536];
        ssize_t got = 0;
        for (off_t at = 0; (got = ::pread(handle_, buffer, sizeof buffer, at)) > 0; at += got)
            text.append(buffer, static_cast<std::size_t>(got));
        return text;
    }

  private:
    int handle_ = -1;
};

}  // namespace

std::string ToolOutcome::reason() const {
    std::string text = errors;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    std::size_t start = text.rfind('\n');
    text = start == std::string::npos ? text : text.substr(start + 1);
    if (text.rfind("backup-server: ", 0) == 0)
        text = text.substr(15);
    if (!text.empty())
        return text;
    return status < 0 ? "the job's process was killed" : "exit status " + std::to_string(status);
}

ToolOutcome runThisTool(const std::vector<std::string>& arguments) {
    CaptureFile out;
    CaptureFile errors;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out.handle(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors.handle(), STDERR_FILENO);
    std::vector<std::string> words = {"backup-server"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    int error = posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error(std::string("cannot start a job: ") + std::strerror(error));
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ToolOutcome outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.output = out.text();
    outcome.errors = errors.text();
    return outcome;
}

}  // namespace backup_server
