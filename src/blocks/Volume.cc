#include "blocks/Volume.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "blocks/BlockRun.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/FileAccess.h"
#include "platform/System.h"
#include "platform/Volumes.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"

namespace blocks {
namespace {

constexpr std::uint32_t kBitmapReplyBytes =
    sizeof(platform::VolumeBitmapBufferHeader) + Volume::kBitmapPieceBits / 8;

}  // namespace

Volume::Volume(const std::wstring& name) : name_(name), devicePath_(platform::toNarrow(name)) {
    while (!devicePath_.empty() && devicePath_.back() == '\\')
        devicePath_.pop_back();
    driveType_ = platform::getDriveType(name_);
    if (driveType_ != platform::kDriveFixed && driveType_ != platform::kDriveNoRootDir) {
        ZENTRAD_THROW(runtime::DiskException,
                      "Drive type was not a fixed drive (" + std::to_string(driveType_) + ")");
    }
    platform::VolumeInformation information;
    if (platform::getVolumeInformation(name_, information) &&
        information.fileSystemName == L"NTFS") {
        fileSystemType_ = kFileSystemNtfs;
    }
}

platform::FileHandle Volume::createFile(std::uint32_t access, std::uint32_t flags) const {
    platform::FileHandle device = platform::createFile(
        platform::toWide(devicePath_), access, platform::kFileShareRead | platform::kFileShareWrite,
        platform::kOpenExisting, flags);
    if (!device) {
        ZENTRAD_THROW(runtime::DiskException,
                      "Failed to open device " + devicePath_ + " for reading");
    }
    return device;
}

void Volume::discoverVolumeData() {
    platform::FileHandle device = createFile(platform::kGenericRead, 0);
    platform::NtfsVolumeDataBuffer data{};
    std::uint32_t returned = 0;
    if (!platform::deviceIoControl(device, platform::kFsctlGetNtfsVolumeData, nullptr, 0, &data,
                                   sizeof data, &returned) ||
        returned < sizeof data || data.totalClusters < 0 || data.bytesPerCluster == 0) {
        ZENTRAD_THROW(runtime::DiskException, "Error getting device volume data");
    }
    blockCount_ = static_cast<std::uint64_t>(data.totalClusters);
    blockSize_ = data.bytesPerCluster;
    blockCountKnown_ = true;
    blockSizeKnown_ = true;
}

std::uint64_t Volume::getBlockCount() {
    if (!blockCountKnown_)
        discoverVolumeData();
    return blockCount_;
}

std::uint32_t Volume::getBlockSize() {
    if (!blockSizeKnown_)
        discoverVolumeData();
    return blockSize_;
}

void Volume::getBlockMap(BlockMap& map) {
    std::uint64_t count = getBlockCount();
    if (map.size() != 0 || map.capacity() < count) {
        ZENTRAD_THROW(runtime::DiskException, "Block map for " + devicePath_ +
                                                  " must be empty and hold " +
                                                  std::to_string(count) + " blocks");
    }
    platform::FileHandle device =
        createFile(platform::kGenericRead, platform::kFileFlagSequentialScan);
    std::uint64_t startingCluster = 0;
    bool done = false;
    while (!done) {
        ZENTRAD_CHECK_RUNNING();
        appendBitmapPiece(device, map, startingCluster, done);
    }
}

// One request of the bitmap from startingCluster on. The reply is checked against the
// request before its bits are taken: it must start where asked, and a piece may not
// carry more bits than the buffer holds or than the volume has left.
void Volume::appendBitmapPiece(platform::FileHandle& device, BlockMap& map,
                               std::uint64_t& startingCluster, bool& done) {
    std::vector<std::uint8_t> reply(kBitmapReplyBytes);
    platform::StartingLcnInputBuffer input{static_cast<std::int64_t>(startingCluster)};
    std::uint32_t returned = 0;
    if (!platform::deviceIoControl(device, platform::kFsctlGetVolumeBitmap, &input, sizeof input,
                                   reply.data(), kBitmapReplyBytes, &returned) &&
        platform::getLastError() != platform::kErrorMoreData) {
        ZENTRAD_THROW(runtime::DiskException, "Failed to get block bitmap");
    }
    platform::VolumeBitmapBufferHeader header{};
    std::memcpy(&header, reply.data(), sizeof header);
    std::uint64_t remaining = blockCount_ - map.size();
    if (header.startingLcn != static_cast<std::int64_t>(startingCluster) || header.bitmapSize < 0 ||
        static_cast<std::uint64_t>(header.bitmapSize) > remaining) {
        ZENTRAD_THROW(runtime::DiskException, "Failed to get block bitmap");
    }
    auto size = static_cast<std::uint64_t>(header.bitmapSize);
    std::uint64_t n = std::min(size, kBitmapPieceBits);
    if ((n == 0 && size != 0) || returned < sizeof header + (n + 7) / 8)
        ZENTRAD_THROW(runtime::DiskException, "Failed to get block bitmap");
    map.appendBits(reply.data() + sizeof header, n);
    done = size == n;
    startingCluster += (n + 7) / 8 * 8;
}

std::shared_ptr<Block> Volume::getBlock(std::uint64_t index) {
    if (!readHandle_)
        readHandle_ = createFile(platform::kGenericRead, platform::kFileFlagSequentialScan);
    std::uint32_t size = getBlockSize();
    if (size > kMaxBlockSize)
        ZENTRAD_THROW(runtime::DiskException, "Block size too large");
    auto block = std::make_shared<Block>(index, size);
    block->load(readHandle_, index);
    block->computeDigest();
    return block;
}

void Volume::getBlocks(std::uint64_t first, std::uint64_t count,
                       std::vector<std::shared_ptr<Block>>& out) {
    if (!readHandle_)
        readHandle_ = createFile(platform::kGenericRead, platform::kFileFlagSequentialScan);
    std::uint32_t size = getBlockSize();
    if (size > kMaxBlockSize)
        ZENTRAD_THROW(runtime::DiskException, "Block size too large");
    loadBlockRun(readHandle_, first, count, size, out);
}

std::uint64_t Volume::getRunLimit() {
    std::uint32_t size = getBlockSize();
    return size == 0 || size > kRunBytes ? 1 : kRunBytes / size;
}

std::uint64_t Volume::getCapacityBytes() const {
    platform::FileHandle device = createFile(platform::kGenericRead, 0);
    platform::GetLengthInformation length{};
    std::uint32_t returned = 0;
    if (!platform::deviceIoControl(device, platform::kIoctlDiskGetLengthInfo, nullptr, 0, &length,
                                   sizeof length, &returned) ||
        returned < sizeof length || length.length < 0) {
        ZENTRAD_THROW(runtime::DiskException, "Failed to get length information");
    }
    return static_cast<std::uint64_t>(length.length);
}

std::string Volume::getDriveLetterPath() const {
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        std::wstring mountPoint = std::wstring(1, letter) + L":\\";
        std::wstring volumeName;
        if (platform::getVolumeNameForVolumeMountPoint(mountPoint, volumeName) &&
            volumeName == name_) {
            return platform::toNarrow(mountPoint);
        }
    }
    return {};
}

}  // namespace blocks
