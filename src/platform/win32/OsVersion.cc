// Version information on Windows: a thin pass-through to the system calls.
#include "platform/OsVersion.h"

#include <windows.h>

#include "platform/win32/NativeHandle.h"

namespace platform {
namespace {

constexpr const wchar_t* kProductOptionsKey = L"SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
constexpr const wchar_t* kHotfixKey =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Hotfix\\Q246009";

using GetNativeSystemInfoFunction = void(WINAPI*)(LPSYSTEM_INFO);

}  // namespace

bool getVersionEx(OsVersionInfo& info, bool extended) {
    OSVERSIONINFOEXW record{};
    record.dwOSVersionInfoSize = extended ? sizeof(OSVERSIONINFOEXW) : sizeof(OSVERSIONINFOW);
    if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&record)))
        return false;
    info = OsVersionInfo{};
    info.majorVersion = record.dwMajorVersion;
    info.minorVersion = record.dwMinorVersion;
    info.buildNumber = record.dwBuildNumber;
    info.platformId = record.dwPlatformId;
    info.csdVersion = record.szCSDVersion;
    if (extended) {
        info.servicePackMajor = record.wServicePackMajor;
        info.servicePackMinor = record.wServicePackMinor;
        info.suiteMask = record.wSuiteMask;
        info.productType = record.wProductType;
    }
    return true;
}

std::uint16_t nativeProcessorArchitecture() {
    SYSTEM_INFO system{};
    // Through void (*)(void), the generic function pointer type, as GetProcAddress's result
    // must be cast to the real signature.
    FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetNativeSystemInfo");
    auto native =
        reinterpret_cast<GetNativeSystemInfoFunction>(reinterpret_cast<void (*)()>(found));
    if (native != nullptr) {
        native(&system);
    } else {
        ::GetSystemInfo(&system);
    }
    return system.wProcessorArchitecture;
}

int getSystemMetrics(int index) {
    return ::GetSystemMetrics(index);
}

bool readProductType(std::wstring& value, std::uint32_t maxBytes) {
    win32::RegistryKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductOptionsKey, 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    std::wstring buffer(maxBytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = maxBytes;
    LONG result = ::RegQueryValueExW(key.get(), L"ProductType", nullptr, nullptr,
                                     reinterpret_cast<LPBYTE>(buffer.data()), &size);
    if (result != ERROR_SUCCESS || size > maxBytes)
        return false;
    buffer.resize(size / sizeof(wchar_t));
    while (!buffer.empty() && buffer.back() == L'\0')
        buffer.pop_back();
    value = buffer;
    return true;
}

bool hotfixQ246009Present() {
    win32::RegistryKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHotfixKey, 0, KEY_QUERY_VALUE, key.put()) ==
           ERROR_SUCCESS;
}

}  // namespace platform
