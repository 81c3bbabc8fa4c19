// The MD5 digests the backup server already holds for a volume, so that a block read from
// the disk can be left out when it has not changed. The digests are kept in a temporary
// blocksum file, one 16-byte record per listed block in ascending block order; which
// blocks are listed is kept in an IndexedBlockMap, whose rank of a block is its record
// number. Each manager has a file of its own (the sanitised device ID plus a unique
// suffix, in the directory it is given, the agent's temporary directory), so two backups of one
// volume never share or delete each other's digests; the file is removed when the manager goes
// Queries come in ascending block order during a backup, so records are read a window at a
// time and appends go through the stream's buffer: a system call per few thousand blocks,
// not per block. Memory stays one window whatever the volume's size.
// away. Not thread-safe: filled by the request thread, then queried by the disk stage only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "blocks/Block.h"
#include "blocks/IndexedBlockMap.h"

namespace blocks {

class BlockSumManager {
  public:
    // The empty manager of a backup that does not compare digests: nothing is listed.
    BlockSumManager() = default;
    // Calls initialize.
    BlockSumManager(const std::filesystem::path& directory, const std::string& deviceID,
                    std::uint64_t blockCount);
    ~BlockSumManager();
    BlockSumManager(const BlockSumManager&) = delete;
    BlockSumManager& operator=(const BlockSumManager&) = delete;

    // Creates the directory if needed (std::filesystem errors propagate) and an empty
    // blocksum file in it for a volume of blockCount blocks. Throws runtime::AgentException
    // naming the path when the file cannot be created.
    void initialize(const std::filesystem::path& directory, const std::string& deviceID,
                    std::uint64_t blockCount);

    // Records the server's digest of block blockNumber. Block numbers must arrive strictly
    // ascending and below the block count; anything else throws runtime::AgentException
    // before the file is touched, as does a failed write.
    void addDigest(std::uint64_t blockNumber, const BlockDigest& digest);

    // True when the server listed this block with exactly this digest. Throws
    // runtime::AgentException naming the block when its record cannot be read.
    bool isBlockDuplicate(const Block& block);

    // name with every character outside [A-Za-z0-9_-] replaced by '_'; same length.
    static std::string sanitizeName(const std::string& name);

    bool initialized() const { return initialized_; }
    const std::filesystem::path& path() const { return path_; }
    std::uint64_t digestCount() const { return usedBlocks_ ? usedBlocks_->setCount() : 0; }
    std::uint64_t blockCount() const { return usedBlocks_ ? usedBlocks_->capacity() : 0; }

    // Records read from the file at a time.
    static constexpr std::uint64_t kWindowRecords = 4096;

  private:
    void removeFile() noexcept;
    // Reads the window of records that starts at record; block names the block asked for.
    void readWindow(std::uint64_t record, std::uint64_t block);

    std::filesystem::path directory_;
    std::filesystem::path path_;
    std::fstream file_;
    std::unique_ptr<IndexedBlockMap> usedBlocks_;
    bool initialized_ = false;
    // The stream's single position was last moved by a read: the next append seeks the end.
    bool reading_ = false;
    std::vector<unsigned char> window_;
    std::uint64_t windowFirst_ = 0;
    std::uint64_t windowRecords_ = 0;
};

}  // namespace blocks
