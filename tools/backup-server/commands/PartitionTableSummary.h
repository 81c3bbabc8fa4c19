// What a saved partition table holds, in one line for the user: the style, and for a GPT
// the disk GUID, the partitions and the disk size it was made for, or why it is damaged.
#pragma once

#include <string>

#include "backup-server/session/PartitionTable.h"

namespace backup_server {

std::string describePartitionTable(const PartitionTableImage& image);

}  // namespace backup_server
