// A run of bytes at a byte offset of a physical disk: the unit in which partition
// information is collected, sent to the server and written back. DiskSector reads itself
// from a disk; NetSector carries bytes received from the server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace disk {

class Sector {
  public:
    // Every sector of the partition information is this long.
    static constexpr std::uint32_t kBytes = 512;

    // size zero-filled bytes at offset. Throws runtime::AgentException when the buffer
    // cannot be had.
    Sector(std::uint32_t size, std::uint64_t offset);
    virtual ~Sector() = default;

    virtual std::string toString() const;

    std::uint64_t getOffset() const { return offset_; }
    std::uint32_t getSize() const { return size_; }
    const std::uint8_t* getData() const { return data_.data(); }
    std::uint8_t* getData() { return data_.data(); }
    // Bytes 510 and 511 are 0x55 0xAA: the sector may hold a partition table.
    bool hasBootSignature() const;

  private:
    std::vector<std::uint8_t> data_;
    std::uint64_t offset_;
    std::uint32_t size_;
};

}  // namespace disk
