// What the agent hands every request besides its connection and message: the objects it
// owns for the whole run and the values requests take from its options.
#pragma once

#include <cstdint>
#include <filesystem>

#include "crypto/KeyStore.h"

namespace filter {
class ChangeTracker;
}

namespace requests {
class RunningBackups;

struct RequestContext {
    // The change-tracking driver's monitor: backups ask it which blocks changed.
    filter::ChangeTracker& changeTracker;
    // Backups count themselves here while they run, for the status port.
    RunningBackups& runningBackups;
    // The agent's database directory and, inside it, the server keys that the server list
    // request writes.
    std::filesystem::path dbDir;
    std::filesystem::path backupAllowDir;
    // Where backups keep the server's block digests while they run.
    std::filesystem::path tempDir;
    // The longest wait for each step of the snapshot service, in seconds; 0 sets no limit.
    std::int32_t snapshotTimeoutSeconds = 1200;
    // The key files that the keys request sends.
    crypto::encryption::KeyFilePaths keyFiles;
};

}  // namespace requests
