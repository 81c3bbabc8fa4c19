// A restore packed ahead of time, for measuring the agent's side alone: the framed units
// of every batch in a file, with the options and the key they were packed with, then
// replayed to the agent with no reading, deflating, enciphering or digesting on the way.
// Only a key sent in the request can be packed ahead: the session key is the agent's own.
//
// File: "zrpack1\n", u32 block size, batch blocks, compression type, compression level and
// encryption type; u8 1 and the key record (u16 type, u16 length, key, u16 length, IV) or
// u8 0; then per batch u16 blocks, u64 plain bytes, u64 record bytes, u64 compressed
// blocks, u64 unit length and the unit. Numbers big-endian.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "backup-server/session/RestoreUnit.h"
#include "backup-server/session/VolumeRestore.h"

namespace backup_server {

// Packs every batch of source into file as the restore would send it. Throws
// runtime::AgentException when the file cannot be written or options name the session
// key. Returns blocks, batches and bytes as a restore would.
RestoreSummary packRestore(const RestoreOptions& options, BlockSource& source,
                           const std::filesystem::path& file);

class PackedRestoreReader {
  public:
    // Reads the file's options (into options(): everything but the device). Throws
    // runtime::AgentException when the file cannot be read or is not a packed restore.
    explicit PackedRestoreReader(const std::filesystem::path& file);

    const RestoreOptions& options() const { return options_; }
    // The next unit, replacing unit; false at the end. Throws runtime::AgentException on
    // a short or damaged file.
    bool next(RestoreUnit& unit);

  private:
    std::ifstream in_;
    std::filesystem::path file_;
    RestoreOptions options_;
    std::uint64_t batch_ = 0;
};

}  // namespace backup_server
