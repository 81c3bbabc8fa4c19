// Garbage collection of a store: removes the chunks no point references (left by
// forgotten points and by backups that never completed), index files no catalogue row
// names, and temporary files. It needs the store exclusively (no backup, forget, restore
// or verify running). It reads every point's index first and removes nothing when one of
// them cannot be read. Memory: 8 bytes per distinct chunk referenced.
#pragma once

#include <cstdint>
#include <string>

#include "backup-server/store/Progress.h"
#include "backup-server/store/Store.h"

namespace backup_server {

struct GcReport {
    std::uint64_t points = 0;
    std::uint64_t chunksKept = 0;
    std::uint64_t bytesKept = 0;
    std::uint64_t chunksRemoved = 0;
    std::uint64_t filesRemoved = 0;  // stray index and temporary files
    std::uint64_t bytesFreed = 0;
};

// Throws StoreError (having removed nothing) when a point's index is damaged.
GcReport collectGarbage(Store& store, Progress* progress);

std::string describeGc(const GcReport& report);

}  // namespace backup_server
