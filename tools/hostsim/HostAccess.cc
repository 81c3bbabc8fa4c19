#include "HostAccess.h"

#include "Arguments.h"

namespace hostsim {

platform::emulated::Host& currentHost() {
    return platform::emulated::Host::current();
}

platform::emulated::HostConfig loadConfig() {
    return platform::emulated::HostConfig::load(currentHost().configFile());
}

void saveConfig(const platform::emulated::HostConfig& config) {
    config.save(currentHost().configFile());
}

platform::emulated::VolumeInfo selectVolume(const std::string& selector) {
    auto layout = platform::emulated::HostLayout::load(currentHost());
    const platform::emulated::VolumeInfo* volume = layout.selectVolume(selector);
    if (volume == nullptr)
        throw UsageError("no volume matches '" + selector + "'");
    return *volume;
}

}  // namespace hostsim
