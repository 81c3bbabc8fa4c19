// Times and attribute bits of a restored file or directory. Applied after the file's data
// (writing would move its times) and, for directories, after everything inside them.
// Failures are logged at WARN and do not fail the item: the data is there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace requests {

struct FileRestoreMetadata {
    std::wstring path;
    bool isDirectory = false;
    std::uint64_t createTime = 0;  // file times (100 ns since 1601)
    std::uint64_t accessTime = 0;
    std::uint64_t modifyTime = 0;
    std::optional<std::uint32_t> attributes;  // NTFS attribute bits, when the source had them
};

// Sets the three times, then the attribute bits that can be set.
void applyFileMetadata(const FileRestoreMetadata& metadata);

// Opens the path for writing attributes (a directory with backup semantics) and sets its
// times. WARN "Unable to set file timestamps for file (" + path + ")" when it cannot be
// opened, "Failed to update file times: " + error when setting them fails.
void setFileTimes(const std::wstring& path, bool isDirectory, std::uint64_t createTime,
                  std::uint64_t accessTime, std::uint64_t modifyTime);

}  // namespace requests
