// The host hostsim works on, and the volume selectors its commands accept.
#pragma once

#include <string>

#include "platform/emulated/Host.h"
#include "platform/emulated/storage/HostLayout.h"

namespace hostsim {

// The host named by ZENTRAD_HOST_ROOT (main sets it from --root).
platform::emulated::Host& currentHost();

// host.conf for editing; saved with saveConfig.
platform::emulated::HostConfig loadConfig();
void saveConfig(const platform::emulated::HostConfig& config);

// "C", "C:", a volume GUID path, or "N:M" (disk N, partition M counted as in "Disk N
// Partition M"). Throws UsageError when no volume matches.
platform::emulated::VolumeInfo selectVolume(const std::string& selector);

}  // namespace hostsim
