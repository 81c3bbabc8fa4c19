// One agent's volume's restore points in a store, seen from the backup server's side of the wire:
// the latest point's geometry, journal key, used blocks, block data and digests (what a
// new backup of the volume presents and serves), and the way in for a backup that adds a
// point. The view opens no lock; refresh() rereads the
// catalogue (a backup through this object refreshes it itself). Not thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "backup-server/store/PointReader.h"
#include "backup-server/store/Store.h"
#include "blocks/Block.h"
#include "blocks/BlockMap.h"

namespace backup_server {

class VolumeStore {
  public:
    static constexpr std::size_t kJournalKeyBytes = 56;
    // The name backup-server gives an agent reached at its default host.
    static constexpr const char* kDefaultAgent = "127.0.0.1";

    // Throws StoreError for a folder that is not an initialised store, a
    // store of the previous layout or a damaged catalogue.
    VolumeStore(const std::filesystem::path& root, const std::string& deviceID,
                const std::string& agent = kDefaultAgent);

    const std::filesystem::path& folder() const { return root_; }
    const std::string& deviceID() const { return deviceID_; }
    const std::string& agent() const { return agent_; }
    void refresh();

    // Whether the volume has a point; the rest describes the latest one (zeros, empty
    // and all clear without one).
    bool hasImage() const { return latest_.has_value(); }
    const std::optional<PointRecord>& latestPoint() const { return latest_; }
    std::uint32_t blockSize() const { return latest_ ? latest_->geometry.blockSize : 0; }
    std::uint64_t blockCount() const { return latest_ ? latest_->geometry.blockCount : 0; }
    std::optional<std::string> journalKey() const;
    const blocks::BlockMap& usedMap();
    // The latest point's bytes of a block (zeros for a block it does not use) and its
    // digest. Throw StoreError when there is no point or its chunk is damaged.
    std::string readBlock(std::uint64_t index);
    blocks::BlockDigest readDigest(std::uint64_t index);
    // The latest point opened for reading (null without one).
    PointReader* reader();

  private:
    std::filesystem::path root_;
    std::string deviceID_;
    std::string agent_;
    std::optional<PointRecord> latest_;
    std::unique_ptr<Store> store_;
    std::unique_ptr<PointReader> reader_;
    blocks::BlockMap none_{0};
};

}  // namespace backup_server
