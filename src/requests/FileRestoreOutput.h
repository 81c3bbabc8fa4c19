// One restored file while its data arrives. The file is created (or truncated) when the
// object is made; keep() closes it for good. A file that is not kept (its data failed to
// arrive or to be written) is removed when the object ends, so a failed item never leaves a
// truncated file behind that looks restored.
//
// Failures throw runtime::AgentException with the reason the server is told: its own text
// when a directory stands at the path, otherwise the system's text for the error.
#pragma once

#include <cstddef>
#include <string>

#include "platform/File.h"

namespace requests {

class FileRestoreOutput {
  public:
    explicit FileRestoreOutput(std::wstring path);
    ~FileRestoreOutput();
    FileRestoreOutput(const FileRestoreOutput&) = delete;
    FileRestoreOutput& operator=(const FileRestoreOutput&) = delete;

    void write(const char* data, std::size_t size);
    // Closes the file and keeps it.
    void keep();

  private:
    [[noreturn]] void fail(std::uint32_t error);
    void discard();

    std::wstring path_;
    platform::FileHandle file_;
};

}  // namespace requests
