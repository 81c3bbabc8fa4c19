// The partition a volume restore writes to, opened for writing through the device that
// occupies it. Blocks land at offset + index × size; nothing is ever written outside
// [offset, offset + length). Consecutive blocks are written without a seek, and gathered
// (up to kGatherBytes) into one write, since every write costs a call into the system
// (and a change record in the tracking driver) whatever its size.
//
// Used by one thread at a time (the request's, then the disk-writing stage's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "blocks/Block.h"
#include "blocks/SectorBuffer.h"
#include "blocks/Volume.h"
#include "platform/File.h"

namespace blocks {

class RestorePartition {
  public:
    static constexpr std::size_t kGatherBytes = 1 << 20;

    // Opens the device for writing, unshared, for sequential access. Throws
    // runtime::DiskException naming the path and the system's error code when it cannot.
    RestorePartition(const std::string& path, std::uint64_t offset, std::uint64_t length);
    // Writes through an already open device.
    RestorePartition(platform::FileHandle device, std::uint64_t offset, std::uint64_t length);
    // Closes the device (writing what is gathered); errors are swallowed.
    ~RestorePartition();
    RestorePartition(const RestorePartition&) = delete;
    RestorePartition& operator=(const RestorePartition&) = delete;

    // Moves to an absolute device offset. Throws runtime::DiskException naming the offset
    // when the system refuses it.
    void seek(std::uint64_t offset);

    // Writes a plain block of exactly size bytes at its place: gathered with the blocks
    // before it when it continues them, otherwise after writing those. Refuses, before
    // anything is gathered, a block that is still compressed or enciphered
    // (runtime::AgentException), one whose data is not exactly its size, and one whose
    // place overflows or leaves the partition (runtime::DiskException). A failed or short
    // write throws runtime::DiskException with the byte counts or the system's error.
    void writeBlock(const Block& block);
    // Writes the gathered blocks. Throws as writeBlock.
    void flush();

    // Writes the gathered blocks and closes the device (once; later calls do nothing).
    // The device is closed even when that last write fails, which then throws.
    void close();

    // The device's sector size (IOCTL_DISK_GET_DRIVE_GEOMETRY): every write to it must be a
    // whole number of sectors. Throws runtime::DiskException when it cannot be read.
    std::uint32_t sectorSize();
    // The alignment raw writes to the device want: its physical sector when it reports its
    // access alignment (IOCTL_STORAGE_QUERY_PROPERTY), else its sector size, and never less
    // than a page. Throws as sectorSize.
    std::size_t bufferAlignment();
    // Before anything is locked or written: refuses blocks that are not whole sectors of
    // the device (runtime::DiskException naming both sizes), and aligns the buffer that
    // blocks are gathered in to bufferAlignment().
    void prepareFor(std::uint32_t blockSize);

    // NTFS keeps a copy of its boot sector in the sector after the file system's last one
    // (the partition's last sector), which no cluster covers and so no block carries. When
    // the restored partition starts with an NTFS boot sector, writes it there too, after
    // the gathered blocks. Returns whether it did; throws runtime::DiskException when the
    // device refuses the read or the write.
    bool writeBootSectorCopy();

    bool isOpen() const { return device_.valid(); }
    // The handle blocks are written through, for requests that must go through that same
    // handle (locking the volume).
    platform::FileHandle& device() { return device_; }
    std::uint64_t position() const { return position_; }
    std::uint64_t length() const { return length_; }
    // Blocks that have reached the device (not those still gathered).
    std::uint64_t blocksWritten() const { return blocksWritten_; }
    std::uint64_t seeks() const { return seeks_; }

  private:
    void checkWritable(const Block& block) const;
    std::uint64_t targetOf(const Block& block) const;

    platform::FileHandle device_;
    std::uint64_t position_ = 0;
    std::uint64_t offset_;
    std::uint64_t length_;
    std::uint64_t blocksWritten_ = 0;
    std::uint64_t seeks_ = 0;
    // Gathered blocks, to be written at pendingStart_: room for a whole gather of the
    // largest blocks, aligned for raw device writes (a page until prepareFor).
    std::optional<SectorBuffer> pending_;
    std::uint64_t pendingStart_ = 0;
    std::uint64_t pendingBlocks_ = 0;
};

}  // namespace blocks
