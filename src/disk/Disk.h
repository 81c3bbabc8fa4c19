// One fixed physical disk ("\\.\PHYSICALDRIVEN"): its ID, size and partition information
// (collected once), writing sectors of partition information back, and asking the system
// to re-read the partition table. Created by getAllDisks and used on one request's thread.
//
// The class is written in three files, one per job, because each job has its own device
// queries: Disk.cc reads and writes one disk, DiskEnumeration.cc finds the fixed disks, and
// DiskPhysicalPartition.cc finds the volume that occupies a partition (for volume restores).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "platform/FileAccess.h"

#include "disk/DiskSector.h"
#include "disk/NetSector.h"
#include "disk/Partition.h"
#include "platform/File.h"

namespace disk {

class Disk {
  public:
    // Enumeration ends at the eighth disk number that cannot be opened.
    static constexpr int kMaxMissingDisks = 8;
    // Most sectors one restore may carry: the boot gap (2048), the database (2048) and
    // extended boot records, with room to spare.
    static constexpr std::uint32_t kMaxRestoreSectors = 8192;

    Disk(std::uint32_t diskNumber, std::uint32_t bytesPerSector);

    // The fixed disks of the machine in disk-number order. Never throws for one disk:
    // removable, not-ready and unreadable disks are logged at WARN and skipped.
    static std::vector<std::shared_ptr<Disk>> getAllDisks();
    // Throws runtime::DiskException naming id when no fixed disk has it.
    static std::shared_ptr<Disk> getDiskWithID(const std::string& id);
    // Keeps letters, digits, "-", "_", "/" and space.
    static std::string filterID(const std::string& id);
    static std::string pathForNumber(std::uint32_t diskNumber);

    // Flags for reading and writing a device's sectors directly: past the system's cache,
    // in order, and with backup semantics.
    static constexpr std::uint32_t kRawFlags = platform::kFileFlagNoBuffering |
                                               platform::kFileFlagSequentialScan |
                                               platform::kFileFlagBackupSemantics;
    // Opens a disk or volume device shared for reading and writing, since the system and
    // other programs keep using it. An invalid handle, with the last error kept, when the
    // device cannot be opened.
    static platform::FileHandle openDevice(const std::wstring& path, std::uint32_t access,
                                           std::uint32_t flags);

    // "Disk N".
    std::string getID() const;
    const std::string& getPath() const { return path_; }
    std::uint32_t getDiskNumber() const { return diskNumber_; }
    std::uint32_t getBytesPerSector() const { return bytesPerSector_; }
    bool isTableLoaded() const { return tableLoaded_; }

    // Size in bytes. Throws runtime::DiskException.
    std::uint64_t getSize() const;
    // platform::kPartitionStyleGpt for a GPT disk, else kPartitionStyleMbr (also when the
    // layout cannot be read).
    std::uint32_t getPartitionStyle() const;
    // The partition information's sectors (collected on first use). Empty when the disk
    // has no partition table. Throws runtime::DiskException.
    std::vector<std::shared_ptr<DiskSector>> getSectors();
    // The non-extended partitions of all tables (collected on first use).
    std::vector<std::shared_ptr<Partition>> getPartitions();

    // Checks every sector first (at most kMaxRestoreSectors, each Sector::kBytes long, at a
    // sector boundary and inside the disk; a GPT as prepareGptRestore checks and fits it to
    // this disk), then writes them in order and empties the vector. Nothing is written when
    // any sector is refused. Throws runtime::DiskException.
    void writeSectors(std::vector<std::shared_ptr<NetSector>>& sectors);
    void checkSectors(const std::vector<std::shared_ptr<NetSector>>& sectors) const;

    // Asks the system to re-read the partition table: false when it did, true when the
    // request was refused. Throws runtime::DiskException when the disk cannot be opened.
    bool updatePartitionTable();

    // Where a volume restore writes the partition named "Disk N Partition M": the device
    // path of the volume that occupies exactly that partition, offset 0 inside it, and the
    // partition's length. Throws runtime::DiskException.
    static void getPhysicalPartitionForDeviceIDWithDisk(const std::string& deviceID,
                                                        std::string& path, std::uint64_t& offset,
                                                        std::uint64_t& length);

  private:
    void loadPartitionTable();
    platform::FileHandle open(std::uint32_t access, std::uint32_t flags) const;

    std::string path_;
    std::uint32_t diskNumber_;
    std::uint64_t tableSector_ = 0;
    std::uint32_t bytesPerSector_;
    bool tableLoaded_ = false;
    std::vector<std::shared_ptr<DiskSector>> sectors_;
    std::vector<std::shared_ptr<Partition>> partitions_;
};

}  // namespace disk
