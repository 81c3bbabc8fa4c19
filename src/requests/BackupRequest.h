// Backs up one volume block by block from a snapshot. Only one backup prepares at a time
// (the backup lock, held until the blocks start to flow), and only one backup of a volume
// runs at a time (see VolumesInBackup). What is sent depends on the
// change-tracking driver: when the journal key the server presents is the volume's current
// one, only the used blocks written since are sent; otherwise, if the server asked for
// it, only used blocks whose digest differs from the server's; otherwise every used block.
// The page file and the hibernation file are never sent.
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
#include <memory>
#include <mutex>
#include <string>

#include "blocks/BlockMap.h"
#include "blocks/BlockSumManager.h"
#include "blocks/Volume.h"
#include "filter/JournalKey.h"
#include "filter/MapBitmap.h"
#include "requests/Request.h"
#include "requests/RunningBackups.h"
#include "requests/VolumesInBackup.h"

namespace vssclient {
class VssClient;
class WindowsEventListener;
}  // namespace vssclient

class BackupRequest : public Request {
  public:
    BackupRequest(net::ServerSocket& connection, net::EncryptedMessage& message,
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
    void sendBlocks(blocks::Volume& volume, const blocks::BlockMap& usedBlocks,
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
};
