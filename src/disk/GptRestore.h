// Prepares the sectors of a partition-table restore for a GPT disk before any is written.
// A backup of a GPT disk holds the protective MBR, the primary header and entry array, and
// the backup entry array and header from the end of the source disk. The restore checks
// both headers (signature, revision, size, CRCs, positions) and both arrays (CRC, entries
// inside the usable sectors, no overlaps) and that they describe the same table. Onto a
// disk of the source's size the sectors go as they are; onto a larger disk the backup array
// and header move to the new end, and the primary header's last usable sector and backup
// position (and a protective MBR entry that covered the whole disk) follow; a smaller disk
// is refused. A damaged primary header is refused even when its backup copy is intact: the
// error says so, so that the user decides rather than the restore silently using the copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/NetSector.h"

namespace disk {

// Leaves MBR restores (sector 0 without a protective entry) untouched. Throws
// runtime::DiskException with the reason when the table is refused.
void prepareGptRestore(std::vector<std::shared_ptr<NetSector>>& sectors, std::uint64_t diskSectors,
                       const std::string& diskID);

}  // namespace disk
