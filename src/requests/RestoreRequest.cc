#include "requests/RestoreRequest.h"

#include <chrono>

#include "blocks/Volume.h"
#include "blocks/VolumeLock.h"
#include "disk/Disk.h"
#include "logging/Logger.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"

namespace requests {

void RestoreRequest::execute() {
    ZENTRAD_CHECK_RUNNING();
    receiveRequest();
    logging::logInfo() << "Restore request accepted for device (" << header_.deviceID
                       << ").  Starting restore.";
    std::string path;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    disk::Disk::getPhysicalPartitionForDeviceIDWithDisk(header_.deviceID, path, offset, length);
    blocks::RestorePartition partition(path, offset, length);
    // Checked before the volume is locked or anything written: a block that is not whole
    // sectors would fail at its first write, with the volume already dismounted.
    partition.prepareFor(blockSize_);
    {
        blocks::VolumeLock volumeLock(partition.device(), path);
        ZENTRAD_CHECK_RUNNING();
        connection().sendCode(net::PROT_RESTORE_READY).flush();
        ZENTRAD_CHECK_RUNNING();
        receiveBlocks(partition);
    }
    restoreBootSectorCopy(path, offset, length);
    message().clear();
    message().write32(net::PROT_ACK);
    message().send();
    connection().sendCode(net::PROT_RESTORE_DONE).flush();
}

void RestoreRequest::restoreBootSectorCopy(const std::string& path, std::uint64_t offset,
                                           std::uint64_t length) {
    blocks::RestorePartition partition(path, offset, length);
    blocks::VolumeLock volumeLock(partition.device(), path);
    if (partition.writeBootSectorCopy()) {
        logging::logInfo()
            << "Wrote the copy of the restored NTFS boot sector at the end of the partition";
    }
    partition.close();
}

void RestoreRequest::receiveRequest() {
    readBody();
    if (!message().atEnd()) {
        ZENTRAD_THROW(runtime::AgentException, "unexpected input found in server restore request");
    }
    checkSettings();
    message().clear();
    message().write32(net::PROT_ACK);
    message().send();
}

void RestoreRequest::readBody() {
    header_ = RestoreHeader::read(message());
    blockSize_ = message().read32();
    unused64_ = message().read64();
    unused4_ = message().read32();
    maxBlocks_ = message().read32();
    encryptionType_ = message().read32();
    unusedByte1_ = message().read8();
    unusedByte2_ = message().read8();
    if (message().read8() != 0)
        key_ = message().readKey();
}

// Blocks are clusters of at most kMaxBlockSize bytes; a batch holds at least one block.
void RestoreRequest::checkSettings() const {
    if (encryptionType_ != kEncryptionNone && encryptionType_ != kEncryptionBlowfish) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Unkown encryption type: " + std::to_string(encryptionType_));
    }
    if (blockSize_ == 0 || blockSize_ > blocks::Volume::kMaxBlockSize) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Invalid block size (" + std::to_string(blockSize_) + ") in restore request");
    }
    if (maxBlocks_ == 0) {
        ZENTRAD_THROW(runtime::AgentException, "Invalid batch size (0) in restore request");
    }
    if (encryptionType_ == kEncryptionBlowfish && !key_ && !connection().backupSessionKey()) {
        ZENTRAD_THROW(runtime::AgentException, "No backup session key to decipher the blocks with");
    }
}

std::optional<crypto::KeyMsg> RestoreRequest::decipheringKey() const {
    if (encryptionType_ != kEncryptionBlowfish)
        return std::nullopt;
    if (key_)
        return key_;
    return *connection().backupSessionKey();
}

void RestoreRequest::receiveBlocks(blocks::RestorePartition& partition) {
    auto start = std::chrono::steady_clock::now();
    blocks::RestoreStreamResult result;
    try {
        blocks::BlockStreamFormat format{maxBlocks_, blockSize_,
                                         encryptionType_ == kEncryptionBlowfish};
        result = blocks::receiveBlockStream(connection(), message(), format, decipheringKey(),
                                            partition);
        partition.close();
        if (!result.succeeded) {
            ZENTRAD_CHECK_RUNNING();
            ZENTRAD_THROW(runtime::AgentException, "Restore Failed");
        }
    } catch (const std::exception& error) {
        logging::logError() << "Caught exception while receiving blocks: " << error.what();
        throw;
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    logging::logInfo() << "Restore complete: " << result.blocksWritten << " blocks of "
                       << blockSize_ << " bytes written in " << elapsed.count() / 1000
                       << " seconds.";
}

}  // namespace requests
