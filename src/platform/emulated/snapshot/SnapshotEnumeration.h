// Snapshot property records of the emulated snapshot service.
#pragma once

#include <memory>
#include <vector>

#include "platform/Vss.h"
#include "platform/emulated/Host.h"

namespace platform::emulated {

// The provider that makes the emulated host's snapshots.
Guid emulatedProviderId();

// The property records of every live snapshot of the host, in creation order.
std::vector<VssSnapshotProperties> allSnapshotProperties(Host& host);

std::unique_ptr<VssEnumSnapshots> makeSnapshotEnumeration(
    std::vector<VssSnapshotProperties> snapshots);

}  // namespace platform::emulated
