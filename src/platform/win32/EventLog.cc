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

void registerEventMessageFile(const std::wstring& sourceName, const std::wstring& executablePath) {
    std::wstring keyPath =
        L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + sourceName;
    win32::RegistryKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    std::wstring path = executablePath.substr(0, 260);
    auto pathBytes = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
    DWORD types = 7;
    DWORD categories = 1;
    ::RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                     reinterpret_cast<const BYTE*>(path.c_str()), pathBytes);
    ::RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&types), sizeof types);
    ::RegSetValueExW(key.get(), L"CategoryMessageFile", 0, REG_EXPAND_SZ,
                     reinterpret_cast<const BYTE*>(path.c_str()), pathBytes);
    ::RegSetValueExW(key.get(), L"CategoryCount", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&categories), sizeof categories);
}

}  // namespace platform
