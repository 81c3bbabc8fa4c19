// The Windows event log: a registered event source and its registry entry.
#include "platform/EventLog.h"

#include <windows.h>

#include "platform/win32/NativeHandle.h"

namespace platform {
namespace {

class WindowsEventSource : public EventSource {
  public:
    explicit WindowsEventSource(HANDLE handle) : handle_(handle) {}

    bool report(std::uint16_t type, std::uint16_t category, std::uint32_t eventId,
                const std::wstring& text) override {
        LPCWSTR strings[1] = {text.c_str()};
        return ::ReportEventW(handle_.get(), type, category, eventId, nullptr, 1, 0, strings,
                              nullptr) != FALSE;
    }

  private:
    win32::EventSourceHandle handle_;
};

}  // namespace

std::unique_ptr<EventSource> registerEventSource(const std::wstring& sourceName) {
    HANDLE handle = ::RegisterEventSourceW(nullptr, sourceName.c_str());
    if (handle == nullptr)
        return nullptr;
    return std::make_unique<WindowsEventSource>(handle);
}

namespace {

std::wstring sourceKeyPath(const std::wstring& sourceName) {
    return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + sourceName;
}

bool setValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    LSTATUS status = ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    if (status != ERROR_SUCCESS)
        ::SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

}  // namespace

bool registerEventMessageFile(const std::wstring& sourceName, const std::wstring& executablePath) {
    win32::RegistryKey key;
    LSTATUS status =
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, sourceKeyPath(sourceName).c_str(), 0, nullptr,
                          REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        ::SetLastError(static_cast<DWORD>(status));
        return false;
    }
    const std::wstring& path = executablePath;
    auto pathBytes = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
    DWORD types = 7;
    DWORD categories = 1;
    return setValue(key.get(), L"EventMessageFile", REG_EXPAND_SZ, path.c_str(), pathBytes) &&
           setValue(key.get(), L"TypesSupported", REG_DWORD, &types, sizeof types) &&
           setValue(key.get(), L"CategoryMessageFile", REG_EXPAND_SZ, path.c_str(), pathBytes) &&
           setValue(key.get(), L"CategoryCount", REG_DWORD, &categories, sizeof categories);
}

bool deregisterEventMessageFile(const std::wstring& sourceName) {
    LSTATUS status = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, sourceKeyPath(sourceName).c_str());
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND)
        return true;
    ::SetLastError(static_cast<DWORD>(status));
    return false;
}

}  // namespace platform
