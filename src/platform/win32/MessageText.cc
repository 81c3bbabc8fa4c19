// The system's message texts on Windows.
#include "platform/MessageText.h"

#include <windows.h>

#include "platform/win32/NativeHandle.h"

namespace platform {

bool systemMessageText(std::uint32_t code, std::wstring* text) {
    win32::LocalText buffer;
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPWSTR>(buffer.put()), 0, nullptr);
    if (length == 0 || !buffer)
        return false;
    text->assign(buffer.get(), length);
    return true;
}

}  // namespace platform
