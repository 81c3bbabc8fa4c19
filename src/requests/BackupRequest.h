// Backs up one volume block by block from a snapshot. Only one backup prepares at a time
// (the backup lock, held until the blocks start to flow), and only one backup of a volume
// runs at a time (see VolumesInBackup). What is sent depends on the
// change-tracking driver: when the journal key the server presents is the volume's current
// one, only the used blocks written since, and those that became used without being
// written, are sent; otherwise, if the server asked for it, only used blocks whose digest
// differs from the server's; otherwise every used block. The page file and the hibernation
// file are never sent. When part of an incremental's changes turns out to be unknown after
// the snapshot (the driver lost its state, the agent ran out of memory), the backup sends
// every used block instead: a point is never missing a write.
//
// Beside the journal key it returns, the agent keeps the used-block map it backed up (in
// the database folder's "tracking" folder), so the next incremental can tell which blocks
// became used; without that map a matching key is not enough for an incremental.
//
// Request body: u32 checksums | string deviceID | u32 compressionType | u32 compressionLevel
//               | u32 encryptionType | u32 | u32 | 56-byte journal key
// Replies, in order: PROT_BUSY or PROT_ACK; the block-sum exchange when digests are
// needed; PROT_BACKUP_VOLUME_INFO; the used-block map; the block stream; PROT_NEW_JOURNAL_KEY;
// the map of used blocks not sent; PROT_BACKUP_COMPLETE.
//
// The request counts as a running backup (for the status port) from construction to
// destruction.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "blocks/BlockMap.h"
#include "blocks/BlockSumManager.h"
#include "blocks/Volume.h"
#include "filter/JournalKey.h"
#include "filter/MapBitmap.h"
#include "filter/SavedState.h"
#include "requests/Request.h"
#include "requests/RunningBackups.h"
#include "requests/VolumesInBackup.h"

namespace vssclient {
class VssClient;
class WindowsEventListener;
}  // namespace vssclient

namespace requests {

class BackupRequest : public Request {
  public:
    BackupRequest(net::ServerConnection& connection, net::EncryptedMessage& message,
                  const RequestContext& context);
    void execute() override;

    // Reads the request body into the settings below; execute() starts with it. A body
    // that ends early throws runtime::AgentException.
    void readRequest();
    std::uint32_t checksums() const { return checksums_; }
    const std::string& deviceID() const { return deviceID_; }
    std::uint32_t compressionType() const { return compressionType_; }
    std::uint32_t compressionLevel() const { return compressionLevel_; }
    std::uint32_t encryptionType() const { return encryptionType_; }
    const filter::JournalKey& serverJournalKey() const { return serverJournalKey_; }

    // Runs the block pipeline over the volume (see blocks/BackupPipeline.h). changes may
    // be null (no tracked changes). Throws runtime::AgentException when a stage failed.
    // Returns how many blocks went to the server.
    std::uint64_t sendBlocks(blocks::Volume& volume, const blocks::BlockMap& usedBlocks,
                             blocks::BlockMap& skipped, blocks::BlockSumManager& blockSums,
                             const filter::MapBitmap* changes);

    // PROT_BACKUP_BLOCK_MAP | u32 byte count | bytes (plain), then the encrypted
    // PROT_BLOCK_MAP_DIGEST | MD5 of the bytes.
    void sendBlockMap(const blocks::BlockMap& map);

  private:
    struct TrackingPeriod {
        std::unique_ptr<filter::MapBitmap> changes;  // null: changes not known
        filter::JournalKey newKey{};
    };

    void reply(net::Code code);
    bool journalKeysMatch(const std::wstring& name);
    std::filesystem::path trackingFolder() const;
    // Completes an incremental's changes after the snapshot: the late changes of the new
    // period and the blocks used now that were not used by the previous backup. Drops
    // the changes (every used block is then sent) when any of that is not known.
    void completeChanges(const std::wstring& name, TrackingPeriod& period,
                         const blocks::BlockMap& used);
    void keepBackedUpMap(const std::wstring& name, const filter::JournalKey& key,
                         const blocks::BlockMap& used);
    std::unique_ptr<blocks::BlockSumManager> serverBlockSums(blocks::Volume& volume);
    void sendVolumeInfo(blocks::Volume& volume);
    TrackingPeriod startTrackingPeriod(const std::wstring& name);
    void createSnapshot(vssclient::VssClient& vss, vssclient::WindowsEventListener& events,
                        const std::wstring& name);
    void backUpSnapshot(vssclient::VssClient& vss, const std::wstring& name, TrackingPeriod& period,
                        blocks::BlockSumManager& blockSums,
                        std::unique_lock<std::mutex>& backupLock);
    void finishBackup(const filter::JournalKey& newKey, const blocks::BlockMap& skipped);

    RunningBackups::Registration registration_;
    // Held from the lock until the backup has ended on the wire.
    std::unique_ptr<VolumesInBackup::Claim> claim_;
    std::uint32_t checksums_ = 0;
    std::string deviceID_;
    std::uint32_t compressionType_ = 0;
    std::uint32_t compressionLevel_ = 0;
    std::uint32_t encryptionType_ = 0;
    filter::JournalKey serverJournalKey_{};
    bool keysMatch_ = false;
    // The used blocks of the backup that returned serverJournalKey (when keysMatch_).
    std::optional<filter::BackedUpMap> previousUsed_;
};

}  // namespace requests
