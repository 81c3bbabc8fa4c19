// Process-level calls on Windows: thin pass-throughs.
#include "platform/System.h"

#include <windows.h>

#include <vector>

#include "platform/win32/NativeHandle.h"

namespace platform {

std::uint32_t getLastError() {
    return ::GetLastError();
}
void setLastError(std::uint32_t code) {
    ::SetLastError(code);
}

std::wstring formatMessage(std::uint32_t code) {
    win32::LocalText buffer;
    // Without IGNORE_INSERTS a system message with inserts ("%1 is not a valid Win32
    // application.") would be expanded from a null argument list.
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPWSTR>(buffer.put()), 0, nullptr);
    if (length == 0 || !buffer) {
        return L"Unknown error " + std::to_wstring(code) + L".\r\n";
    }
    return std::wstring(buffer.get(), length);
}

std::wstring getModuleFileName() {
    std::vector<wchar_t> buffer(8192);
    DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0)
        return {};
    return std::wstring(buffer.data(), length);
}

std::wstring getCurrentDirectory() {
    std::vector<wchar_t> buffer(1024);
    DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0 || length >= buffer.size())
        return {};
    return std::wstring(buffer.data(), length);
}

std::uint32_t getTickCount() {
    return ::GetTickCount();
}

std::string toNarrow(const std::wstring& text) {
    if (text.empty())
        return {};
    int size = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                     0, "?", nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          "?", nullptr);
    return out;
}

std::wstring toWide(const std::string& text) {
    if (text.empty())
        return {};
    int size =
        ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

void outputDebugString(const std::wstring& text) {
    ::OutputDebugStringW(text.c_str());
}

const wchar_t* pathSeparator() {
    return L"\\";
}

const wchar_t* agentExecutableName() {
    return L"zentrad.exe";
}

}  // namespace platform
