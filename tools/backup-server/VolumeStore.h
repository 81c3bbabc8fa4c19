// The backup server's store of one volume: a folder STORE/<device ID with every character
// outside [A-Za-z0-9_-] replaced by '_'> holding
//
//   volume       text, one "key = value" per line: device-id, block-size, block-count
//   image        the volume's blocks as of the last backup, block i at byte i × block-size
//                (a sparse file of block-count × block-size bytes; blocks never sent are
//                holes and read as zeros)
//   used.map     the used-block map of the last complete backup: (block-count + 7) / 8
//                bytes, bit i (least significant first in byte i / 8) set for a used block
//   digests      16 bytes per block: the MD5 of the block as it stands in image (zeros for
//                a block never written); updated with every block written
//   journal.key  the 56-byte journal key the agent returned with the last complete backup;
//                removed when a backup starts, so after a failed one the next backup falls
//                back to digest comparison
//   history      one line per backup attempt that completed (time, kind, counts, speed)
//
// A restore streams the used blocks of image back (bits of used.map, data of image).
// Everything read from the folder is checked against the recorded geometry. Not
// thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "blocks/Block.h"
#include "blocks/BlockMap.h"

namespace backup_server {

class VolumeStore {
  public:
    static constexpr std::size_t kJournalKeyBytes = 56;

    // Opens the store of deviceID below root (creating the folder). Throws
    // winutil::AgentException when an existing store is damaged.
    VolumeStore(const std::filesystem::path& root, const std::string& deviceID);

    const std::filesystem::path& folder() const { return folder_; }
    bool hasImage() const { return blockSize_ != 0; }
    std::uint32_t blockSize() const { return blockSize_; }
    std::uint64_t blockCount() const { return blockCount_; }
    // The key of the last complete backup (56 bytes), if any.
    std::optional<std::string> journalKey() const;
    // The used blocks of the last complete backup (all clear without one).
    const blocks::BlockMap& usedMap() const { return used_; }

    // Starts a backup of a volume with this geometry: forgets the journal key, and starts
    // an empty image when the geometry differs from the stored one.
    void beginBackup(std::uint32_t blockSize, std::uint64_t blockCount);
    // Writes one block (blockSize bytes) and its digest.
    void writeBlock(std::uint64_t index, const unsigned char* data,
                    const blocks::BlockDigest& digest);
    // The stored digest of a block (zeros when never written).
    blocks::BlockDigest readDigest(std::uint64_t index);
    // The stored bytes of a block.
    std::string readBlock(std::uint64_t index);
    // Records a complete backup: its used-block map, the new journal key and a history line.
    void commit(const blocks::BlockMap& used, const std::string& journalKey,
                const std::string& historyLine);

  private:
    void loadGeometry();
    void loadUsedMap();
    void resetImage(std::uint32_t blockSize, std::uint64_t blockCount);
    void openFiles();
    void checkIndex(std::uint64_t index) const;

    std::filesystem::path folder_;
    std::string deviceID_;
    std::uint32_t blockSize_ = 0;
    std::uint64_t blockCount_ = 0;
    blocks::BlockMap used_{0};
    std::fstream image_;
    std::fstream digests_;
};

}  // namespace backup_server
