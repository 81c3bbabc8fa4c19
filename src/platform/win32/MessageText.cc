// The system's message texts on Windows.
#include "platform/MessageText.h"

#include <windows.h>

namespace platform {

bool systemMessageText(std::uint32_t code, std::wstring* text) {
    LPWSTR buffer = nullptr;
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer),
        0, nullptr);
    if (length == 0 || buffer == nullptr)
        return false;
    text->assign(buffer, length);
    ::LocalFree(buffer);
    return true;
}

}  // namespace platform
