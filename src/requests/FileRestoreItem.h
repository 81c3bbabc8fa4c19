// What the server says about one file-restore item, read from its key-value record:
//   srcfs (string)                 source file system; "ntfs" means NTFS file times
//   mftFlags (u16), attrFlags (u32) required only when srcfs is "ntfs"
//   filePath (string)              UTF-8, relative to the restore root
//   fileSize (u64)                 data bytes that follow; 0 for a directory
//   accessTime, modifyTime, createTime (u64)
//   isDirectory (bool)
// Times from other file systems are seconds since 1970 and are converted to file times.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/KeyValueMap.h"

namespace requests {

struct FileRestoreItem {
    std::uint64_t fileSize = 0;
    std::optional<std::string> filePath;  // set as soon as it was read
    std::string srcfs;
    std::uint16_t mftFlags = 0;
    std::optional<std::uint32_t> attrFlags;  // only from NTFS sources
    std::uint64_t accessTime = 0;            // file times (100 ns since 1601)
    std::uint64_t modifyTime = 0;
    std::uint64_t createTime = 0;
    bool isDirectory = false;
};

// Seconds since 1970-01-01 as a file time: (t + 11644473600) x 10^7.
std::uint64_t unixTimeToFileTime(std::uint64_t seconds);

// Reads the fields into item in the order the restore needs them (size, path, the rest),
// so that item.filePath is known for the message when a later field fails. A missing or
// wrongly typed field throws runtime::AgentException naming its key.
void parseFileAttributes(const util::KeyValueMap& record, FileRestoreItem& item);

}  // namespace requests
