#include "ExternalTool.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/emulated/storage/DiskImage.h"

namespace hostsim {
namespace {

std::string findTool(const std::string& name) {
    std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    path += ":/sbin:/usr/sbin:/usr/local/sbin";
    std::istringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty())
            continue;
        std::filesystem::path candidate = std::filesystem::path(folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    throw std::runtime_error(name + " not found (install the ntfs-3g and fdisk packages)");
}

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// In the child: standard input from stdinFile, output to the log file, then exec.
[[noreturn]] void execTool(const std::string& program, std::vector<char*>& argv,
                           const std::filesystem::path& stdinFile,
                           const std::filesystem::path& log) {
    int in = ::open(stdinFile.empty() ? "/dev/null" : stdinFile.c_str(), O_RDONLY);
    int out = ::open(log.c_str(), O_WRONLY | O_TRUNC);
    if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) {
        ::_exit(127);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

}  // namespace

void runTool(const std::vector<std::string>& args, const std::filesystem::path& stdinFile) {
    std::string program = findTool(args.at(0));
    std::vector<std::string> copies(args);
    std::vector<char*> argv;
    for (auto& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    TemporaryFile log(".log");
    pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("cannot start " + args[0]);
    if (child == 0)
        execTool(program, argv, stdinFile, log.path());
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("lost " + args[0]);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(args[0] + " failed:\n" + readAll(log.path()));
    }
}

TemporaryFile::TemporaryFile(const std::string& suffix) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / ("hostsim-XXXXXX" + suffix)).string();
    platform::FileDescriptor fd(::mkstemps(pattern.data(), static_cast<int>(suffix.size())));
    if (!fd.valid())
        throw std::runtime_error("cannot create a temporary file");
    path_ = pattern;
}

TemporaryFile::~TemporaryFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

}  // namespace hostsim
