// The backup request from the snapshot on: the used-block map of the snapshot without the
// page file and the hibernation file, the block pipeline, and the closing messages.
#include <algorithm>
#include <chrono>
#include <iomanip>
#include <sstream>

#include "blocks/BackupPipeline.h"
#include "blocks/FileClusterMap.h"
#include "blocks/Md5Stream.h"
#include "filter/ChangeTracker.h"
#include "logging/Logger.h"
#include "net/KeepAliveThread.h"
#include "net/Message.h"
#include "platform/ErrorText.h"
#include "platform/File.h"
#include "platform/FileAccess.h"
#include "platform/System.h"
#include "requests/BackupRequest.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"
#include "util/FileUtil.h"
#include "vssclient/VssClient.h"
#include "vssclient/WindowsEventListener.h"

namespace requests {

namespace {

// The driver's change map as the disk stage walks it.
class TrackedChanges : public blocks::ChangedBlocks {
  public:
    explicit TrackedChanges(const filter::MapBitmap& map) : map_(map) {}
    bool first(std::uint64_t& block) const override { return map_.first(block); }
    bool next(std::uint64_t& block) const override { return map_.next(block); }

  private:
    const filter::MapBitmap& map_;
};

std::string elapsedSeconds(std::chrono::steady_clock::time_point start) {
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << elapsed.count();
    return text.str();
}

std::wstring snapshotDevice(vssclient::VssClient& vss) {
    auto ids = vss.getSnapshotIds();
    if (ids.size() != 1) {
        ZENTRAD_THROW(runtime::AgentException, "After taking a disk snapshot, there were " +
                                                   std::to_string(ids.size()) + " snapshots found");
    }
    platform::VssSnapshotProperties properties;
    vss.getSnapshotProperties(ids.front(), &properties);
    return properties.snapshotDeviceObject;
}

// Held for the whole backup, so the snapshot device stays open while it is read.
platform::FileHandle openSnapshot(const std::wstring& device) {
    platform::FileHandle handle = platform::createFile(
        device, platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
        platform::kOpenExisting, platform::kFileFlagSequentialScan);
    if (!handle) {
        ZENTRAD_THROW(runtime::DiskException, "Failed to open device " +
                                                  platform::toNarrow(device) + ": " +
                                                  platform::lastErrorText());
    }
    return handle;
}

// Neither file's contents are ever needed on restore, and both are large and busy.
void leaveOutSystemFiles(const std::wstring& device, blocks::BlockMap& used) {
    blocks::FileClusterMap files(device);
    if (files.load(L"\\pagefile.sys"))
        logging::logInfo() << "Data from the Window's page file (pagefile.sys) is being skipped";
    if (files.load(L"\\hiberfil.sys")) {
        logging::logInfo() << "Data from the Window's hibernation (hiberfil.sys) is being skipped";
    }
    files.clearClustersIn(used);
}

// Blocks used in used but not in the previous backup's map (of the same block count).
void addNewlyUsed(const blocks::BlockMap& used, const std::string& previous,
                  filter::MapBitmap& changes) {
    const unsigned char* now = used.bytes();
    for (std::uint64_t byte = 0; byte < used.byteCount(); ++byte) {
        auto fresh =
            static_cast<unsigned char>(now[byte] & ~static_cast<unsigned char>(previous[byte]));
        for (int bit = 0; fresh != 0 && bit < 8; ++bit) {
            if ((fresh >> bit) & 1)
                changes.setRange(byte * 8 + static_cast<std::uint64_t>(bit), 1);
        }
    }
}

bool allZero(const filter::JournalKey& key) {
    return std::all_of(key.begin(), key.end(), [](std::uint8_t b) { return b == 0; });
}

}  // namespace

void BackupRequest::createSnapshot(vssclient::VssClient& vss,
                                   vssclient::WindowsEventListener& events,
                                   const std::wstring& name) {
    auto start = std::chrono::steady_clock::now();
    try {
        net::KeepAliveThread keepAlive;
        keepAlive.start(connection());
        vss.createSnapshotSet({name}, L"", {}, {});
        keepAlive.stop();
    } catch (const std::exception& error) {
        logging::logError() << error.what();
        events.logNewEvents();
        ZENTRAD_THROW(runtime::AgentException, "Backup Failed");
    }
    logging::logInfo() << "Created volume shadow copy snapshot in " << elapsedSeconds(start)
                       << " seconds";
}

void BackupRequest::backUpSnapshot(vssclient::VssClient& vss, const std::wstring& name,
                                   TrackingPeriod& period, blocks::BlockSumManager& blockSums,
                                   std::unique_lock<std::mutex>& backupLock) {
    vssclient::WindowsEventListener events;
    createSnapshot(vss, events, name);
    try {
        ZENTRAD_CHECK_RUNNING();
        std::wstring device = snapshotDevice(vss);
        ZENTRAD_CHECK_RUNNING();
        platform::FileHandle deviceHandle = openSnapshot(device);
        blocks::Volume snapshot(device + L"\\");
        blocks::BlockMap used(snapshot.getBlockCount());
        snapshot.getBlockMap(used);
        leaveOutSystemFiles(device, used);
        ZENTRAD_CHECK_RUNNING();
        sendBlockMap(used);
        ZENTRAD_CHECK_RUNNING();
        blocks::BlockMap skipped = checksums_ != 0 ? used : blocks::BlockMap(used.capacity());
        if (period.changes)
            completeChanges(name, period, used);
        backupLock.unlock();
        // The kind as the server names its points.
        const char* kind = checksums_ != 0 && !keysMatch_ ? "digest-compared"
                           : period.changes               ? "incremental"
                                                          : "full";
        std::uint64_t sent = sendBlocks(snapshot, used, skipped, blockSums, period.changes.get());
        keepBackedUpMap(name, period.newKey, used);
        finishBackup(period.newKey, skipped);
        logging::logInfo() << "Backup of " << deviceID_ << " done: " << kind << ", " << sent
                           << " blocks sent, " << sent * snapshot.getBlockSize()
                           << " bytes of block data";
    } catch (...) {
        // The server may start the next backup of the volume as soon as this one has ended
        // on the wire; completing the snapshot does not hold it up.
        claim_.reset();
        events.logNewEvents();
        try {
            vss.backupComplete(false);
        } catch (const std::exception& error) {
            logging::logError() << error.what();
        }
        throw;
    }
    claim_.reset();
    vss.backupComplete(true);
}

void BackupRequest::completeChanges(const std::wstring& name, TrackingPeriod& period,
                                    const blocks::BlockMap& used) {
    // Writes between the end of the period and the snapshot are in the snapshot; they go
    // now and again with the next backup. They are known only while the period that began
    // with this backup is still the driver's.
    std::unique_ptr<filter::MapBitmap> late;
    {
        filter::ChangeTracker::Flush flush(context().changeTracker);
        late = context().changeTracker.copyChanges(name, period.newKey);
    }
    if (!late) {
        logging::logWarn() << "Change tracking lost the changes made while the snapshot was "
                              "taken; sending every used block";
        period.changes.reset();
        return;
    }
    period.changes->merge(*late);
    if (!previousUsed_ || previousUsed_->blockCount != used.capacity()) {
        logging::logWarn() << "The volume's size changed since the previous backup; sending "
                              "every used block";
        period.changes.reset();
        return;
    }
    // A cluster can become used without being written; the previous point does not hold it.
    addNewlyUsed(used, previousUsed_->bits, *period.changes);
}

void BackupRequest::keepBackedUpMap(const std::wstring& name, const filter::JournalKey& key,
                                    const blocks::BlockMap& used) {
    std::filesystem::path file = filter::backedUpMapPath(trackingFolder(), name);
    try {
        if (allZero(key)) {
            // No period to continue: no later backup can present a key for this map.
            std::filesystem::remove(file);
            return;
        }
        filter::BackedUpMap map;
        map.journalKey = key;
        map.blockCount = used.capacity();
        map.bits.assign(reinterpret_cast<const char*>(used.bytes()), used.byteCount());
        std::filesystem::create_directories(trackingFolder());
        util::files::writeFileAtomically(file, filter::encodeBackedUpMap(map));
    } catch (const std::exception& error) {
        // The key still goes to the server; without its map the next backup is
        // digest-compared rather than incremental.
        logging::logWarn() << "Could not keep the map of the blocks backed up: " << error.what();
    }
}

void BackupRequest::finishBackup(const filter::JournalKey& newKey,
                                 const blocks::BlockMap& skipped) {
    message().clear();
    message().write32(net::PROT_NEW_JOURNAL_KEY);
    message().writeBytes(std::string(newKey.begin(), newKey.end()));
    message().send();
    sendBlockMap(skipped);
    connection().sendCode(net::PROT_BACKUP_COMPLETE).flush();
}

std::uint64_t BackupRequest::sendBlocks(blocks::Volume& volume, const blocks::BlockMap& usedBlocks,
                                        blocks::BlockMap& skipped,
                                        blocks::BlockSumManager& blockSums,
                                        const filter::MapBitmap* changes) {
    blocks::VolumeBlockReader reader(volume);
    std::unique_ptr<TrackedChanges> tracked;
    if (changes != nullptr)
        tracked = std::make_unique<TrackedChanges>(*changes);
    blocks::BackupPipelineInput input;
    input.reader = &reader;
    input.usedBlocks = &usedBlocks;
    // Without digest comparison the server expects an empty map of skipped blocks.
    input.skipped = checksums_ != 0 ? &skipped : nullptr;
    input.blockSums = checksums_ != 0 && !keysMatch_ ? &blockSums : nullptr;
    input.changes = tracked.get();
    blocks::BackupPipelineSettings settings;
    settings.compressionType = compressionType_;
    settings.compressionLevel = compressionLevel_;
    settings.encryptionType = encryptionType_;
    settings.sessionKey = connection().backupSessionKey().get();
    return blocks::runBackupPipeline(input, settings, connection(), connection().protocolKey())
        .blocksSent;
}

void BackupRequest::sendBlockMap(const blocks::BlockMap& map) {
    blocks::Md5Stream md5;
    md5.update(map.bytes(), map.byteCount());
    blocks::BlockDigest digest = md5.finish();
    ZENTRAD_CHECK_RUNNING();
    net::LongMessage bitmap(connection().socket(), connection().channel());
    bitmap.writeCode(net::PROT_BACKUP_BLOCK_MAP);
    bitmap.write32(static_cast<std::uint32_t>(map.byteCount()));
    bitmap.write(map.bytes(), static_cast<std::int64_t>(map.byteCount()));
    message().clear();
    message().write32(net::PROT_BLOCK_MAP_DIGEST);
    message().writeBytes(std::string(digest.begin(), digest.end()));
    message().send();
}

}  // namespace requests
