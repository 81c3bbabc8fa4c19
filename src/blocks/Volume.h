// An open-on-demand view of one volume device (a volume GUID path, or a snapshot's device
// path): cluster size and count, the file system's allocation bitmap, device length, drive
// letter, and single clusters read as Blocks with their MD5 digest.
//
// Every query opens the device afresh and closes it when done; only the handle that
// getBlock reads through stays open, for the life of the Volume. Not locked: one thread
// at a time (the request's, then the disk-reading stage's).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "blocks/Block.h"
#include "blocks/BlockMap.h"
#include "platform/File.h"

namespace blocks {

class Volume {
  public:
    static constexpr std::uint32_t kFileSystemNtfs = 4;
    // The largest cluster the agent backs up and restores: 64 KiB, the largest NTFS cluster
    // before Windows 10 1709 (larger ones are refused by name). Every size on the wire and
    // in the server's store is 32 bits wide.
    static constexpr std::uint32_t kMaxBlockSize = 65536;
    // Bits of allocation bitmap fetched per request (32 KiB of bitmap).
    static constexpr std::uint64_t kBitmapPieceBits = 262144;

    // name: the volume's name with its trailing backslash. Throws runtime::DiskException
    // with the drive type unless it is fixed or "no root directory". A volume without a
    // readable file system gets fileSystemType 0.
    explicit Volume(const std::wstring& name);
    virtual ~Volume() = default;
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    // Opens the device (share read and write). Throws runtime::DiskException naming the
    // device path when it cannot be opened.
    platform::FileHandle createFile(std::uint32_t access, std::uint32_t flags) const;

    // Reads cluster count and size (NTFS only). Throws runtime::DiskException when the
    // volume does not answer them.
    void discoverVolumeData();
    std::uint64_t getBlockCount();
    std::uint32_t getBlockSize();

    // Appends the allocation bitmap to an empty map whose capacity holds the block count.
    // Throws runtime::DiskException.
    void getBlockMap(BlockMap& map);

    // Cluster index as a loaded Block with its digest. Throws runtime::DiskException for
    // clusters over kMaxBlockSize bytes.
    std::shared_ptr<Block> getBlock(std::uint64_t index);
    // Clusters first .. first + count - 1 as loaded Blocks with their digests, read with
    // one device request (see BlockRun.h); count at most getRunLimit().
    void getBlocks(std::uint64_t first, std::uint64_t count,
                   std::vector<std::shared_ptr<Block>>& out);
    std::uint64_t getRunLimit();

    // The device length in bytes. Throws runtime::DiskException.
    std::uint64_t getCapacityBytes() const;

    const std::wstring& getName() const { return name_; }
    std::string getDeviceID() const { return deviceID_; }
    std::string getDevicePath() const { return devicePath_; }
    std::string getDevicePathWithSlash() const { return devicePath_ + "\\"; }
    std::uint32_t getDriveType() const { return driveType_; }
    std::uint32_t getFileSystemType() const { return fileSystemType_; }
    // The lowest drive letter mounted on this volume followed by ":\", or empty.
    std::string getDriveLetterPath() const;

  protected:
    void setDeviceID(std::string id) { deviceID_ = std::move(id); }

  private:
    void appendBitmapPiece(platform::FileHandle& device, BlockMap& map,
                           std::uint64_t& startingCluster, bool& done);

    std::wstring name_;
    std::string deviceID_;
    std::string devicePath_;
    std::uint32_t driveType_ = 0xFFFFFFFF;
    std::uint32_t fileSystemType_ = 0;
    std::uint64_t blockCount_ = 0;
    bool blockCountKnown_ = false;
    std::uint32_t blockSize_ = 0;
    bool blockSizeKnown_ = false;
    platform::FileHandle readHandle_;
};

}  // namespace blocks
