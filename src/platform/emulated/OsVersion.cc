// Version information on the emulated host, from the [version] section of host.conf.
#include "platform/OsVersion.h"

#include <cstdlib>
#include <exception>

#include "platform/System.h"
#include "platform/emulated/Host.h"

namespace platform {
namespace {

constexpr const char* kSection = "version";

// host.conf as it is now; an unreadable file gives the defaults.
emulated::HostConfig hostConfig() {
    try {
        return emulated::Host::current().config();
    } catch (const std::exception&) {
        // Version queries never fail on the emulated host: an unreadable host.conf gives
        // the defaults, as a missing one does.
        return emulated::HostConfig{};
    }
}

std::uint32_t number(const emulated::HostConfig& config, const char* key, std::uint32_t fallback) {
    auto text = config.get(kSection, key);
    if (!text || text->empty())
        return fallback;
    char* end = nullptr;
    unsigned long value = std::strtoul(text->c_str(), &end, 0);
    return *end == '\0' ? static_cast<std::uint32_t>(value) : fallback;
}

bool flag(const emulated::HostConfig& config, const char* key, bool fallback) {
    auto text = config.get(kSection, key);
    if (!text)
        return fallback;
    return *text == "yes" || *text == "true" || *text == "1";
}

}  // namespace

bool getVersionEx(OsVersionInfo& info, bool extended) {
    emulated::HostConfig config = hostConfig();
    if (!flag(config, "available", true))
        return false;
    if (extended && !flag(config, "extended", true))
        return false;
    info = OsVersionInfo{};
    info.platformId = number(config, "platform", kVerPlatformNt);
    info.majorVersion = number(config, "major", 5);
    info.minorVersion = number(config, "minor", 2);
    info.buildNumber = number(config, "build", 3790);
    info.csdVersion = toWide(config.get(kSection, "service_pack", "Service Pack 2"));
    if (extended) {
        info.suiteMask = static_cast<std::uint16_t>(number(config, "suite_mask", 0));
        info.productType = static_cast<std::uint8_t>(number(config, "product_type", kVerNtServer));
    }
    return true;
}

std::uint16_t nativeProcessorArchitecture() {
    return static_cast<std::uint16_t>(
        number(hostConfig(), "architecture", kProcessorArchitectureAmd64));
}

int getSystemMetrics(int index) {
    if (index != kSmServerR2)
        return 0;
    return static_cast<int>(number(hostConfig(), "server_r2", 1));
}

bool readProductType(std::wstring& value, std::uint32_t maxBytes) {
    auto text = hostConfig().get(kSection, "product_options");
    if (!text)
        return false;
    std::wstring wide = toWide(*text);
    // REG_SZ data is UTF-16 with its terminator.
    if ((wide.size() + 1) * 2 > maxBytes)
        return false;
    value = wide;
    return true;
}

bool hotfixQ246009Present() {
    return flag(hostConfig(), "hotfix_q246009", false);
}

}  // namespace platform
