// Hints that name the valid choices when a command names a device ID that is not there:
// the agent's volumes, or the volumes a store holds points of.
#pragma once

#include <string>

#include "backup-server/commands/Command.h"
#include "backup-server/store/Store.h"
#include "backup-server/store/StoreAgents.h"  // storeDevicesHint(Catalogue&)

namespace backup_server {

// " (the agent's volumes: Disk 0 Partition 0 (C:\), ...)", from a partition list asked
// for on a session of its own; empty when that fails.
std::string agentDevicesHint(const CommandContext& context);

// Called in a catch block after a request on session failed: when the agent said it has
// no such volume, throws that with agentDevicesHint; otherwise rethrows.
[[noreturn]] void rethrowWithDeviceHint(const CommandContext& context, const AgentSession& session);

// storeDevicesHint(store.catalogue()).
std::string storeDevicesHint(Store& store);

}  // namespace backup_server
