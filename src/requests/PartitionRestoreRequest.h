// Receives the sectors of a disk's partition information from the server and writes them
// to the disk once all have arrived and all have been checked, then asks the system to
// re-read the partition table.
//
// Request body: the restore header (requests/RestoreHeader.h), then u32 sectorSize |
// u32 sectorCount (big-endian).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/NetSector.h"
#include "requests/Request.h"
#include "requests/RestoreHeader.h"

namespace requests {

class PartitionRestoreRequest : public Request {
  public:
    using Request::Request;
    void execute() override;

  private:
    void readHeader();
    // Refuses sector sizes other than 512 bytes and counts no disk's table needs, before
    // the server is told to send anything.
    void checkHeader() const;
    std::vector<std::shared_ptr<disk::NetSector>> receiveSectors();

    RestoreHeader header_;
    std::uint32_t sectorSize_ = 0;
    std::uint32_t sectorCount_ = 0;
};

}  // namespace requests
