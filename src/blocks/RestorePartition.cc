#include "blocks/RestorePartition.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "blocks/DeviceErrors.h"
#include "logging/Logger.h"
#include "platform/ByteOrder.h"
#include "platform/DeviceControl.h"
#include "platform/ErrorText.h"
#include "platform/FileAccess.h"
#include "platform/System.h"
#include "runtime/Exceptions.h"

namespace blocks {
namespace {

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

// Opened for reading and writing and shared with other handles: Windows refuses a volume
// opened without sharing while files on it are open, before the restore could lock or
// dismount the volume; the lock then keeps every other writer out.
platform::FileHandle openForWriting(const std::string& path) {
    platform::FileHandle device = platform::createFile(
        platform::toWide(path), platform::kGenericRead | platform::kGenericWrite,
        platform::kFileShareRead | platform::kFileShareWrite, platform::kOpenExisting,
        platform::kFileFlagSequentialScan);
    if (!device) {
        ZENTRAD_THROW(runtime::DiskException, "Could not open disk: " + path + "  Error = 0x" +
                                                  hex(platform::getLastError()));
    }
    return device;
}

}  // namespace

RestorePartition::RestorePartition(const std::string& path, std::uint64_t offset,
                                   std::uint64_t length)
    : RestorePartition(openForWriting(path), offset, length) {}

RestorePartition::RestorePartition(platform::FileHandle device, std::uint64_t offset,
                                   std::uint64_t length)
    : device_(std::move(device)), offset_(offset), length_(length) {
    pending_.emplace(kGatherBytes + Volume::kMaxBlockSize);
}

RestorePartition::~RestorePartition() {
    try {
        close();
    } catch (...) {
        // Every restore closes the partition itself and reports a failing last write; the
        // device is left to the destructor only when the restore has already failed with
        // an error its caller reports, and then the blocks still gathered are of no use.
    }
}

std::uint32_t RestorePartition::sectorSize() {
    platform::DiskGeometry geometry{};
    std::uint32_t returned = 0;
    if (!platform::deviceIoControl(device_, platform::kIoctlDiskGetDriveGeometry, nullptr, 0,
                                   &geometry, sizeof geometry, &returned) ||
        returned < sizeof geometry || geometry.bytesPerSector == 0) {
        ZENTRAD_THROW(runtime::DiskException,
                      "Could not read the sector size of the target: " + platform::lastErrorText());
    }
    return geometry.bytesPerSector;
}

std::size_t RestorePartition::bufferAlignment() {
    const std::uint32_t sector = sectorSize();
    platform::StoragePropertyQuery query{
        platform::kStorageAccessAlignmentProperty, platform::kPropertyStandardQuery, {}};
    platform::StorageAccessAlignmentDescriptor reply{};
    std::uint32_t returned = 0;
    std::uint32_t wanted = sector;
    // Only a physical sector that is a whole number of logical ones, as a power of two, is
    // taken; a device that does not answer leaves the sector size.
    if (platform::deviceIoControl(device_, platform::kIoctlStorageQueryProperty, &query,
                                  sizeof query, &reply, sizeof reply, &returned) &&
        returned >= sizeof reply && reply.bytesPerPhysicalSector >= sector &&
        reply.bytesPerPhysicalSector % sector == 0) {
        wanted = reply.bytesPerPhysicalSector;
    }
    const bool powerOfTwo = (wanted & (wanted - 1)) == 0;
    return powerOfTwo && wanted > SectorBuffer::kDefaultAlignment ? wanted
                                                                  : SectorBuffer::kDefaultAlignment;
}

void RestorePartition::prepareFor(std::uint32_t blockSize) {
    const std::uint32_t sector = sectorSize();
    if (blockSize % sector != 0) {
        ZENTRAD_THROW(runtime::DiskException,
                      "Block size (" + std::to_string(blockSize) +
                          ") is not a multiple of the target's sector size (" +
                          std::to_string(sector) + "); nothing was written");
    }
    const std::size_t alignment = bufferAlignment();
    if (pending_->empty() && pending_->alignment() != alignment)
        pending_.emplace(kGatherBytes + Volume::kMaxBlockSize, alignment);
}

bool RestorePartition::writeBootSectorCopy() {
    flush();
    const std::uint32_t sector = sectorSize();
    if (sector < 512 || sector > length_)
        return false;  // no room for a boot sector's fields, or none on the partition
    SectorBuffer sectorBytes(sector, bufferAlignment());
    std::string boot(sector, '\0');
    seek(offset_);
    std::uint32_t read = 0;
    if (!platform::readFile(device_, sectorBytes.data(), sector, &read) || read != sector) {
        ZENTRAD_THROW(runtime::DiskException,
                      "Could not read the restored boot sector: " + platform::lastErrorText());
    }
    position_ += read;
    boot.assign(reinterpret_cast<const char*>(sectorBytes.data()), sector);
    if (boot.compare(3, 8, "NTFS    ") != 0)
        return false;
    const std::uint64_t bytesPerSector = platform::loadLittleEndian(boot.data() + 0x0B, 2);
    const std::uint64_t totalSectors = platform::loadLittleEndian(boot.data() + 0x28, 8);
    // The copy sits right after the file system's sectors, which must leave room for it.
    if (bytesPerSector != sector || totalSectors >= length_ / sector)
        return false;
    // Beyond the file system's end a volume handle needs leave to reach the partition.
    platform::deviceIoControl(device_, platform::kFsctlAllowExtendedDasdIo, nullptr, 0, nullptr, 0,
                              nullptr);
    const std::uint64_t target = offset_ + totalSectors * sector;
    seek(target);
    std::uint32_t written = 0;
    if (!platform::writeFile(device_, sectorBytes.data(), sector, &written) || written != sector) {
        ZENTRAD_THROW(runtime::DiskException,
                      "Could not write the boot sector copy at disk offset " +
                          std::to_string(target) + ": " + platform::lastErrorText());
    }
    position_ += written;
    return true;
}

void RestorePartition::seek(std::uint64_t offset) {
    auto high = static_cast<std::int32_t>(offset >> 32);
    auto low = static_cast<std::int32_t>(offset & 0xFFFFFFFFu);
    platform::setLastError(0);
    bool failed = !device_.valid();
    if (!failed) {
        std::uint32_t result = platform::setFilePointer(device_, low, &high, platform::kFileBegin);
        failed = result == platform::kInvalidSetFilePointer && platform::getLastError() != 0;
    }
    if (failed) {
        ZENTRAD_THROW(runtime::DiskException,
                      "Unable to seek to disk offset: " + std::to_string(offset));
    }
    position_ = offset;
    ++seeks_;
}

// Where the block goes on the device. index × size is checked for overflow before it is
// computed; a block must lie wholly inside the partition.
std::uint64_t RestorePartition::targetOf(const Block& block) const {
    std::uint64_t size = block.size();
    std::uint64_t index = block.index();
    bool inside = size <= length_ && index <= (length_ - size) / size;
    if (!inside) {
        ZENTRAD_THROW(runtime::DiskException, "Writing block #" + std::to_string(index) +
                                                  " of size (" + std::to_string(size) +
                                                  ") to would write outside of partition range");
    }
    return offset_ + index * size;
}

void RestorePartition::checkWritable(const Block& block) const {
    if (block.compressed()) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Block data was not uncompressed before attempting to write to disk");
    }
    if (block.encrypted()) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Block data was not decrypted before attempting to write to disk");
    }
    if (block.length() != block.size()) {
        ZENTRAD_THROW(runtime::DiskException, "Block #" + std::to_string(block.index()) +
                                                  " holds " + std::to_string(block.length()) +
                                                  " bytes instead of its size (" +
                                                  std::to_string(block.size()) + "); not written");
    }
}

void RestorePartition::writeBlock(const Block& block) {
    checkWritable(block);
    std::uint64_t target = targetOf(block);
    if (!device_.valid())
        seek(target);  // refuses: the partition is closed
    bool continues = !pending_->empty() && target == pendingStart_ + pending_->size();
    if (!continues || pending_->size() + block.size() > kGatherBytes) {
        flush();
        pendingStart_ = target;
    }
    pending_->append(block.getData(), block.size());
    ++pendingBlocks_;
}

void RestorePartition::flush() {
    if (pending_->empty())
        return;
    auto size = static_cast<std::uint32_t>(pending_->size());
    std::uint32_t written = 0;
    bool ok = false;
    std::uint32_t error = 0;
    for (int attempt = 1; attempt <= kDeviceAttempts; ++attempt) {
        // Seek before every retry: a failed write may have moved the position.
        if (position_ != pendingStart_ || !device_.valid() || attempt > 1)
            seek(pendingStart_);
        written = 0;
        ok = platform::writeFile(device_, pending_->data(), size, &written);
        std::uint32_t lastError = ok ? 0 : platform::getLastError();
        if (ok)
            position_ += written;
        if (ok && attempt > 1) {
            logging::logWarn() << "Successfully wrote at disk offset " << pendingStart_ << " after "
                               << attempt << " tries.  Earlier writes failed with error: "
                               << platform::errorText(error);
        }
        if (ok || !isTransientDeviceError(lastError)) {
            error = lastError;
            break;
        }
        error = lastError;
    }
    std::uint64_t blocks = pendingBlocks_;
    pending_->clear();
    pendingBlocks_ = 0;
    if (ok && written == size) {
        blocksWritten_ += blocks;
        return;
    }
    std::string message = "Failed to write block to disk.";
    if (ok) {
        message += " Meant to write (" + std::to_string(size) + " bytes, but wrote (" +
                   std::to_string(written) + ") bytes.";
    } else {
        message += " " + platform::errorText(error);
    }
    ZENTRAD_THROW(runtime::DiskException, message);
}

void RestorePartition::close() {
    if (!device_.valid())
        return;
    try {
        flush();
    } catch (...) {
        device_.close();
        throw;
    }
    device_.close();
}

}  // namespace blocks
