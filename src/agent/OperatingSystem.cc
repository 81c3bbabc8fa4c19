#include "agent/OperatingSystem.h"

#include <algorithm>

#include "platform/System.h"
#include "platform/WideText.h"

namespace {

using platform::OsVersionInfo;

constexpr std::uint32_t kProductTypeBufferBytes = 160;

bool is(const OsVersionInfo& v, std::uint32_t major, std::uint32_t minor) {
    return v.majorVersion == major && v.minorVersion == minor;
}

std::string windows9x(const OsVersionInfo& v) {
    std::string servicePack = platform::toNarrow(v.csdVersion);
    char second = servicePack.size() > 1 ? servicePack[1] : '\0';
    if (v.majorVersion != 4)
        return "";
    if (v.minorVersion == 0)
        return std::string("Microsoft Windows 95 ") +
               (second == 'C' || second == 'B' ? "OSR2 " : "");
    if (v.minorVersion == 10)
        return std::string("Microsoft Windows 98 ") + (second == 'A' || second == 'B' ? "SE " : "");
    if (v.minorVersion == 90)
        return "Microsoft Windows Millennium Edition";
    return "";
}

std::string productName(const OsFacts& facts) {
    const OsVersionInfo& v = *facts.version;
    bool workstation = v.productType == platform::kVerNtWorkstation;
    if (is(v, 6, 0))
        return workstation ? "Windows Vista " : "Windows Server 2008 ";
    if (is(v, 5, 2)) {
        if (facts.serverR2 != 0)
            return "Microsoft Windows Server 2003 \"R2\" ";
        if (workstation && facts.architecture == platform::kProcessorArchitectureAmd64) {
            return "Microsoft Windows XP Professional x64 Edition ";
        }
        return "Microsoft Windows Server 2003, ";
    }
    if (is(v, 5, 1))
        return "Microsoft Windows XP ";
    if (is(v, 5, 0))
        return "Microsoft Windows 2000 ";
    if (v.majorVersion <= 4)
        return "Microsoft Windows NT ";
    return "";
}

std::string serverEdition(const OsFacts& facts) {
    const OsVersionInfo& v = *facts.version;
    bool datacenter = (v.suiteMask & platform::kVerSuiteDatacenter) != 0;
    bool enterprise = (v.suiteMask & platform::kVerSuiteEnterprise) != 0;
    if (is(v, 5, 2)) {
        if (facts.architecture == platform::kProcessorArchitectureIa64) {
            if (datacenter)
                return "Datacenter Edition for Itanium-based Systems";
            return enterprise ? "Enterprise Edition for Itanium-based Systems" : "";
        }
        if (facts.architecture == platform::kProcessorArchitectureAmd64) {
            if (datacenter)
                return "Datacenter x64 Edition ";
            return enterprise ? "Enterprise x64 Edition " : "Standard x64 Edition ";
        }
        if (datacenter)
            return "Datacenter Edition ";
        if (enterprise)
            return "Enterprise Edition ";
        return (v.suiteMask & platform::kVerSuiteBlade) != 0 ? "Web Edition " : "Standard Edition ";
    }
    if (is(v, 5, 0)) {
        if (datacenter)
            return "Datacenter Server ";
        return enterprise ? "Advanced Server " : "Server ";
    }
    if (v.majorVersion == 4)
        return enterprise ? "Server 4.0, Enterprise Edition " : "Server 4.0 ";
    return "";
}

std::string extendedEdition(const OsFacts& facts) {
    const OsVersionInfo& v = *facts.version;
    if (v.productType == platform::kVerNtWorkstation) {
        if (facts.architecture == platform::kProcessorArchitectureAmd64)
            return "";
        if (v.majorVersion == 4)
            return "Workstation 4.0 ";
        return (v.suiteMask & platform::kVerSuitePersonal) != 0 ? "Home Edition " : "Professional ";
    }
    if (v.productType == platform::kVerNtServer ||
        v.productType == platform::kVerNtDomainController) {
        return serverEdition(facts);
    }
    return "";
}

// Empty optional when the product options cannot be read: the whole description is empty.
std::optional<std::string> basicEdition(const OsFacts& facts) {
    if (!facts.productOptions)
        return std::nullopt;
    const std::wstring& type = *facts.productOptions;
    std::string edition;
    if (platform::equalsIgnoringCase(type, L"WINNT"))
        edition = "Workstation ";
    if (platform::equalsIgnoringCase(type, L"LANMANNT"))
        edition = "Server ";
    if (platform::equalsIgnoringCase(type, L"SERVERNT"))
        edition = "Advanced Server ";
    const OsVersionInfo& v = *facts.version;
    return edition + std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion) + " ";
}

std::string servicePackAndBuild(const OsFacts& facts) {
    const OsVersionInfo& v = *facts.version;
    std::string servicePack = platform::toNarrow(v.csdVersion);
    std::string build = " (Build " + std::to_string(v.buildNumber) + ")";
    if (v.majorVersion == 4 && platform::equalsIgnoringCase(v.csdVersion, L"Service Pack 6") &&
        facts.hotfixQ246009) {
        return "Service Pack 6a" + build;
    }
    return servicePack + build;
}

// Windows 7 and Server 2008 R2 onwards: the product is known from version, product type and
// (for 10.0, which every later release reports) the build number; editions are not named.
std::string currentWindows(const OsFacts& facts) {
    const OsVersionInfo& v = *facts.version;
    const bool workstation = v.productType == platform::kVerNtWorkstation;
    std::string name;
    if (is(v, 6, 1))
        name = workstation ? "Windows 7" : "Windows Server 2008 R2";
    else if (is(v, 6, 2))
        name = workstation ? "Windows 8" : "Windows Server 2012";
    else if (is(v, 6, 3))
        name = workstation ? "Windows 8.1" : "Windows Server 2012 R2";
    else if (is(v, 10, 0) && workstation)
        name = v.buildNumber >= 22000 ? "Windows 11" : "Windows 10";
    else if (is(v, 10, 0))
        name = v.buildNumber >= 26100   ? "Windows Server 2025"
               : v.buildNumber >= 20348 ? "Windows Server 2022"
               : v.buildNumber >= 17763 ? "Windows Server 2019"
                                        : "Windows Server 2016";
    else
        name = std::string(workstation ? "Windows " : "Windows Server ") +
               std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion);
    const std::string servicePack = platform::toNarrow(v.csdVersion);
    return "Microsoft " + name + (servicePack.empty() ? "" : " " + servicePack) + " (Build " +
           std::to_string(v.buildNumber) + ")";
}

std::string windowsNt(const OsFacts& facts) {
    const OsVersionInfo& v = *facts.version;
    if (facts.extended && (v.majorVersion > 6 || (v.majorVersion == 6 && v.minorVersion >= 1)))
        return currentWindows(facts);
    std::string text = productName(facts);
    if (facts.extended) {
        text += extendedEdition(facts);
    } else {
        auto edition = basicEdition(facts);
        if (!edition)
            return "";
        text += *edition;
    }
    return text + servicePackAndBuild(facts);
}

}  // namespace

OsFacts OsFacts::read() {
    OsFacts facts;
    platform::OsVersionInfo info;
    if (platform::getVersionEx(info, true)) {
        facts.extended = true;
        facts.version = info;
    } else if (platform::getVersionEx(info, false)) {
        facts.version = info;
    }
    facts.architecture = platform::nativeProcessorArchitecture();
    facts.serverR2 = platform::getSystemMetrics(platform::kSmServerR2);
    std::wstring productType;
    if (platform::readProductType(productType, kProductTypeBufferBytes))
        facts.productOptions = productType;
    facts.hotfixQ246009 = platform::hotfixQ246009Present();
    return facts;
}

std::string describeOperatingSystem(const OsFacts& facts) {
    try {
        if (!facts.version)
            return "";
        switch (facts.version->platformId) {
            case platform::kVerPlatformWin32s:
                return "Microsoft Win32s";
            case platform::kVerPlatformWindows:
                return windows9x(*facts.version);
            case platform::kVerPlatformNt:
                return windowsNt(facts);
            default:
                return "";
        }
    } catch (...) {
        // The description only completes the start-up and connection banners; a system
        // whose facts cannot be turned into one is shown with an empty description rather
        // than failing the start or the connection that prints it.
        return "";
    }
}

std::string describeOperatingSystem() {
    try {
        return describeOperatingSystem(OsFacts::read());
    } catch (...) {
        // As above, for a failure while reading the facts.
        return "";
    }
}
