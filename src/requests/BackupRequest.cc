// The backup request up to the snapshot: reading the request, the backup lock, the journal
// key test, the server's digests, the volume description and the new tracking period.
#include "requests/BackupRequest.h"

#include <algorithm>

#include "blocks/BlockSumDownload.h"
#include "blocks/DiskVolume.h"
#include "filter/ChangeTracker.h"
#include "logging/Logger.h"
#include "platform/System.h"
#include "requests/VolumesInBackup.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"
#include "util/FileUtil.h"
#include "vssclient/VssClient.h"
#include "vssclient/WindowsEventListener.h"

namespace requests {

namespace {

// Servers from this protocol version on expect the drive-letter path in the volume info.
constexpr std::uint32_t kDriveLetterVersion = 0x10006;
constexpr std::uint32_t kMostBlocksPerBatch = 256;

}  // namespace

BackupRequest::BackupRequest(net::ServerConnection& connection, net::EncryptedMessage& message,
                             const RequestContext& context)
    : Request(connection, message, context), registration_(context.runningBackups) {}

void BackupRequest::execute() {
    ZENTRAD_CHECK_RUNNING();
    readRequest();
    logging::logInfo() << "Accepting new backup request for (" << deviceID_ << ")";
    ZENTRAD_CHECK_RUNNING();
    std::shared_ptr<blocks::DiskVolume> volume =
        blocks::DiskVolume::getDiskVolumesWithID(deviceID_);
    std::wstring name = platform::toWide(volume->getDevicePathWithSlash());

    std::unique_lock<std::mutex> backupLock = context().changeTracker.tryBackupLock();
    if (!backupLock.owns_lock()) {
        reply(net::PROT_BUSY);
        ZENTRAD_THROW(runtime::AgentException,
                      "Backup cannot be started while another backup is in progress.");
    }
    claim_ = VolumesInBackup::tryClaim(name);
    if (!claim_) {
        reply(net::PROT_BUSY);
        ZENTRAD_THROW(runtime::AgentException,
                      "A backup of this volume is still being sent; a new one can start when it "
                      "has ended.");
    }
    reply(net::PROT_ACK);
    keysMatch_ = journalKeysMatch(name);
    std::unique_ptr<blocks::BlockSumManager> blockSums = serverBlockSums(*volume);
    ZENTRAD_CHECK_RUNNING();
    sendVolumeInfo(*volume);
    ZENTRAD_CHECK_RUNNING();

    vssclient::VssClient vss(context().snapshotTimeoutSeconds);
    vss.initialize(0, L"");
    TrackingPeriod period = startTrackingPeriod(name);
    backUpSnapshot(vss, name, period, *blockSums, backupLock);
}

void BackupRequest::readRequest() {
    net::EncryptedMessage& in = message();
    checksums_ = in.read32();
    deviceID_ = in.readString();
    compressionType_ = in.read32();
    compressionLevel_ = in.read32();
    encryptionType_ = in.read32();
    in.read32();
    in.read32();
    std::string key = in.readBlock(serverJournalKey_.size());
    std::copy(key.begin(), key.end(), serverJournalKey_.begin());
}

void BackupRequest::reply(net::Code code) {
    message().clear();
    message().write32(code);
    message().send();
}

bool BackupRequest::journalKeysMatch(const std::wstring& name) {
    filter::JournalKey current{};
    bool known = false;
    {
        filter::ChangeTracker::Flush flush(context().changeTracker);
        known = context().changeTracker.getJournalKey(name, current);
    }
    if (!known) {
        logging::logInfo()
            << "Changes have not been tracked for this device.  Forcing checksum verification.";
        return false;
    }
    if (current != serverJournalKey_) {
        logging::logInfo() << "Journal key mismatch.  Forcing checksum verification.";
        return false;
    }
    std::filesystem::path file = filter::backedUpMapPath(trackingFolder(), name);
    previousUsed_ =
        filter::decodeBackedUpMap(util::files::readFile(file, filter::kMostBackedUpMapBytes));
    if (!previousUsed_ || previousUsed_->journalKey != serverJournalKey_) {
        previousUsed_.reset();
        logging::logInfo() << "The used blocks of the previous backup are not known.  Forcing "
                              "checksum verification.";
        return false;
    }
    return true;
}

std::filesystem::path BackupRequest::trackingFolder() const {
    return context().dbDir / "tracking";
}

std::unique_ptr<blocks::BlockSumManager> BackupRequest::serverBlockSums(blocks::Volume& volume) {
    if (checksums_ == 0 || keysMatch_)
        return std::make_unique<blocks::BlockSumManager>();
    auto blockSums = std::make_unique<blocks::BlockSumManager>(context().tempDir, deviceID_,
                                                               volume.getBlockCount());
    blocks::downloadBlockSums(connection(), *blockSums);
    return blockSums;
}

void BackupRequest::sendVolumeInfo(blocks::Volume& volume) {
    message().clear();
    message().write32(net::PROT_BACKUP_VOLUME_INFO);
    message().write32(kMostBlocksPerBatch);
    message().write32(volume.getBlockSize());
    message().write64(volume.getBlockCount());
    if (connection().serverVersion() >= kDriveLetterVersion)
        message().writeString(volume.getDriveLetterPath());
    message().send();
}

BackupRequest::TrackingPeriod BackupRequest::startTrackingPeriod(const std::wstring& name) {
    // Taking the changes ends the driver's tracking period just before the snapshot, so
    // the next backup's changes start here.
    // One handshake, so the key is the one of the period that begins here.
    TrackingPeriod period;
    filter::ChangeTracker::Flush flush(context().changeTracker);
    period.changes = context().changeTracker.takeChanges(name, serverJournalKey_);
    if (!period.changes)
        context().changeTracker.startChangeTracking(name);
    context().changeTracker.getJournalKey(name, period.newKey);
    // Changes alone do not make an incremental (see journalKeysMatch).
    if (!keysMatch_)
        period.changes.reset();
    return period;
}

}  // namespace requests
