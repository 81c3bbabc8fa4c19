// A restore packed ahead of time, for measuring the agent's side alone: the framed units
// of every batch in a file, with the options and the key they were packed with, then
// replayed to the agent with no reading, deflating, enciphering or digesting on the way.
// Only a key sent in the request can be packed ahead: the session key is the agent's own.
//
// File: "zrpack2\n", u32 block size, batch blocks, compression type, compression level and
// encryption type; u8 1 and the key record (u16 type, u16 length, key, u16 length, IV) or
// u8 0; u8 1 and the origin (texts agent and fingerprint, u64 point, text device) or u8 0
// (blocks of an image file); texts are u16 length and bytes; then per batch u16 blocks, u64 plain
// bytes, u64 record bytes, u64 compressed blocks, u64 unit length and the unit. Numbers big-endian.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "backup-server/session/RestoreUnit.h"
#include "backup-server/session/VolumeRestore.h"

namespace backup_server {

struct ReachedAgent;

// Where the packed blocks came from: a store's point, or an image file (agent empty).
struct PackedOrigin {
    std::string agent;        // the point's agent
    std::string fingerprint;  // the key that agent was pinned to (empty when none)
    std::int64_t point = 0;
    std::string deviceID;
};

// Packs every batch of source into file as the restore would send it. Throws
// runtime::AgentException when the file cannot be written or options name the session
// key. Returns blocks, batches and bytes as a restore would.
RestoreSummary packRestore(const RestoreOptions& options, BlockSource& source,
                           const PackedOrigin& origin, const std::filesystem::path& file);

// Before packed blocks go to the agent reached as target, as for a restore from the store:
// another agent's point goes only when named with from-agent=; without it the agent reached
// must hold the key the point's agent was pinned to. Throws UsageError for the wrong name,
// runtime::AgentException for the wrong key or an agent in recovery mode.
void checkPackedTarget(const PackedOrigin& origin, const std::string& target,
                       const std::optional<std::string>& fromAgent, const ReachedAgent& reached);

class PackedRestoreReader {
  public:
    // Reads the file's options (into options(): everything but the device). Throws
    // runtime::AgentException when the file cannot be read or is not a packed restore.
    explicit PackedRestoreReader(const std::filesystem::path& file);

    const RestoreOptions& options() const { return options_; }
    const PackedOrigin& origin() const { return origin_; }
    // The next unit, replacing unit; false at the end. Throws runtime::AgentException on
    // a short or damaged file.
    bool next(RestoreUnit& unit);

  private:
    std::ifstream in_;
    std::filesystem::path file_;
    RestoreOptions options_;
    PackedOrigin origin_;
    std::uint64_t batch_ = 0;
};

}  // namespace backup_server
