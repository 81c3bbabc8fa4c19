// What the operating-system description is built from, shaped like GetVersionExW,
// GetNativeSystemInfo, GetSystemMetrics and two registry reads.
//
// The emulated host answers from the [version] section of host.conf (all keys optional):
//   platform = 2             dwPlatformId (0 Win32s, 1 Windows 9x, 2 NT family)
//   major = 5                dwMajorVersion
//   minor = 2                dwMinorVersion
//   build = 3790             dwBuildNumber
//   service_pack = Service Pack 2     szCSDVersion
//   suite_mask = 0x0         wSuiteMask (decimal or 0x hexadecimal)
//   product_type = 3         wProductType (1 workstation, 2 domain controller, 3 server)
//   architecture = 9         wProcessorArchitecture (0 x86, 6 Itanium, 9 AMD64)
//   server_r2 = 0            GetSystemMetrics(SM_SERVERR2)
//   extended = yes           whether the extended record can be read ("no": only the basic)
//   available = yes          whether any version record can be read
//   product_options = LANMANNT   ProductOptions\ProductType; absent: the key cannot be read
//   hotfix_q246009 = no      whether the Q246009 hot-fix key exists
// Without the section the host is a 64-bit Windows Server 2003 R2 Standard x64 Edition,
// Service Pack 2, build 3790.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

constexpr std::uint32_t kVerPlatformWin32s = 0;
constexpr std::uint32_t kVerPlatformWindows = 1;
constexpr std::uint32_t kVerPlatformNt = 2;
constexpr std::uint8_t kVerNtWorkstation = 1;
constexpr std::uint8_t kVerNtDomainController = 2;
constexpr std::uint8_t kVerNtServer = 3;
constexpr std::uint16_t kVerSuiteEnterprise = 0x2;
constexpr std::uint16_t kVerSuiteDatacenter = 0x80;
constexpr std::uint16_t kVerSuitePersonal = 0x200;
constexpr std::uint16_t kVerSuiteBlade = 0x400;
constexpr std::uint16_t kProcessorArchitectureIntel = 0;
constexpr std::uint16_t kProcessorArchitectureIa64 = 6;
constexpr std::uint16_t kProcessorArchitectureAmd64 = 9;
constexpr int kSmServerR2 = 89;

// OSVERSIONINFOEXW; the fields after csdVersion are valid only in the extended record.
struct OsVersionInfo {
    std::uint32_t majorVersion = 0;
    std::uint32_t minorVersion = 0;
    std::uint32_t buildNumber = 0;
    std::uint32_t platformId = 0;
    std::wstring csdVersion;
    std::uint16_t servicePackMajor = 0;
    std::uint16_t servicePackMinor = 0;
    std::uint16_t suiteMask = 0;
    std::uint8_t productType = 0;
};

// GetVersionExW with the extended (284-byte) or the basic (276-byte) record; false when
// the call fails.
bool getVersionEx(OsVersionInfo& info, bool extended);

// wProcessorArchitecture from GetNativeSystemInfo, or GetSystemInfo where it is absent.
std::uint16_t nativeProcessorArchitecture();

int getSystemMetrics(int index);

// HKEY_LOCAL_MACHINE "SYSTEM\CurrentControlSet\Control\ProductOptions" "ProductType", read
// into a buffer of maxBytes; false when the key cannot be opened, the value cannot be read
// or it is longer than the buffer.
bool readProductType(std::wstring& value, std::uint32_t maxBytes);

// Whether HKEY_LOCAL_MACHINE "SOFTWARE\Microsoft\Windows NT\CurrentVersion\Hotfix\Q246009"
// can be opened.
bool hotfixQ246009Present();

}  // namespace platform
