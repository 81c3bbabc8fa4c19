// A sector read from a physical disk. When it holds a partition table (the MBR or an
// extended boot record) and carries the boot signature, its used entries are parsed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/Partition.h"
#include "disk/Sector.h"
#include "platform/File.h"

namespace disk {

class DiskSector : public Sector {
  public:
    // Reads size bytes at sector (base + relative) of the disk at once. Throws
    // runtime::DiskException when the read fails or comes back short.
    DiskSector(platform::FileHandle& disk, std::uint32_t size, std::uint64_t base,
               std::uint64_t relative, bool holdsTable);

    // Seeks to the offset, reads, and parses the table when there is one.
    void loadFromDisk(platform::FileHandle& disk);

    std::string toString() const override;

    std::uint64_t getBase() const { return base_; }
    std::uint64_t getRelative() const { return relative_; }
    bool holdsTable() const { return holdsTable_; }
    // The used entries of the table, in table order (empty unless holdsTable).
    const std::vector<std::shared_ptr<Partition>>& getEntries() const { return entries_; }

  private:
    void parseEntries();

    std::uint64_t base_;
    std::uint64_t relative_;
    bool holdsTable_;
    std::vector<std::shared_ptr<Partition>> entries_;
};

}  // namespace disk
