// The rotating log file: "zentrad.log" grows to 1 MiB plus one line, then becomes
// "zentrad.1.log" and the older generations shift up to "zentrad.10.log"; the oldest
// is discarded. Not thread-safe on its own: the logger's write mutex serialises it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "logging/LogLevel.h"

namespace logging {

class FileLogger {
  public:
    static constexpr std::uint64_t kMaxFileSize = 0x100000;
    static constexpr int kGenerations = 10;

    // Opens the file for appending; on failure logs "Failed to open log file: " + path at
    // WARN (reaching the other sinks) and later writes retry the open.
    explicit FileLogger(std::filesystem::path path);

    // Writes one line, rotating first when it would take the file past 1 MiB. Throws
    // std::filesystem::filesystem_error when a rotation step fails (the caller drops the line).
    void write(LogLevel level, const std::string& line);

    const std::filesystem::path& path() const { return path_; }

  private:
    bool open(std::ios::openmode mode);
    void rotate();
    std::filesystem::path generation(int number) const;

    std::filesystem::path path_;
    std::ofstream stream_;
    std::uint64_t size_ = 0;  // bytes in the current file, as written through stream_
};

}  // namespace logging
