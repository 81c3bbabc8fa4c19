// Collects the sectors that make up a disk's partition information, in this order: the
// master boot record; the sectors between it and the first partition (boot code and hidden
// sectors, at most up to sector 2047); for a dynamic disk the 2048 sectors of the logical
// disk manager database; then the extended boot records of every extended partition in
// chain order. Also gathers the non-extended partitions of all those tables. Behind a
// protective MBR (an entry of type 0xEE) the GPT follows the MBR instead: the primary header
// and entry array, then the backup entry array and header from the end of the disk.
//
// The disk's contents are untrusted: a chain of extended boot records that loops, is
// longer than kMaxExtendedBootRecords or points outside the disk, a database placed
// outside the disk, and a GPT that fails any check of platform/GptFormat.h (a damaged
// primary is reported, never replaced by its backup copy), end the collection with
// runtime::DiskException.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "disk/DiskSector.h"
#include "disk/Partition.h"
#include "platform/File.h"

namespace disk {

class PartitionTableReader {
  public:
    static constexpr std::uint64_t kMaxGapSectors = 2048;
    static constexpr std::uint64_t kDatabaseSectors = 2048;
    static constexpr std::uint64_t kDatabaseHeaderSector = 6;
    static constexpr std::size_t kDatabaseStartOffset = 299;
    static constexpr std::size_t kMaxExtendedBootRecords = 1024;
    static constexpr std::uint32_t kDynamicDiskType = 0x42;

    // diskID names the disk in messages; diskSectors bounds every sector read.
    PartitionTableReader(platform::FileHandle& disk, std::string diskID, std::uint64_t diskSectors);

    // False (with the WARN line "No partition table exists on " + ID) when the MBR does not
    // carry the 0x55 0xAA signature; nothing is collected then.
    bool read();

    const std::vector<std::shared_ptr<DiskSector>>& sectors() const { return sectors_; }
    const std::vector<std::shared_ptr<Partition>>& partitions() const { return partitions_; }

  private:
    std::shared_ptr<DiskSector> readSector(std::uint64_t base, std::uint64_t relative,
                                           bool holdsTable);
    void readBootGap(const DiskSector& mbr);
    void readDatabase();
    void readGpt();
    void readExtendedPartition(std::uint64_t relative, std::uint64_t base);
    void checkTableSector(std::uint64_t sector);

    platform::FileHandle& disk_;
    std::string diskID_;
    std::uint64_t diskSectors_;
    std::set<std::uint64_t> visited_;
    std::vector<std::shared_ptr<DiskSector>> sectors_;
    std::vector<std::shared_ptr<Partition>> partitions_;
};

}  // namespace disk
