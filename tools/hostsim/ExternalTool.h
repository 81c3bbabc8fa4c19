// Running the ntfs-3g and fdisk tools hostsim builds volumes and tables with, and the
// temporary images they work on.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace hostsim {

// Runs argv[0] (searched on PATH, then in /sbin and /usr/sbin) without a shell, with
// standard input from stdinFile (or /dev/null when empty). Throws std::runtime_error with
// the tool's output when it cannot start or exits with a non-zero status.
void runTool(const std::vector<std::string>& argv, const std::filesystem::path& stdinFile = {});

// A temporary file, removed when destroyed.
class TemporaryFile {
  public:
    explicit TemporaryFile(const std::string& suffix);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace hostsim
