// Environment strings on Windows.
#include "platform/Environment.h"

#include <windows.h>

#include <vector>

namespace platform {

bool expandEnvironmentStrings(const std::wstring& text, std::wstring* expanded) {
    DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0)
        return false;
    std::vector<wchar_t> buffer(needed);
    DWORD written = ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(), needed);
    if (written == 0 || written > needed)
        return false;
    expanded->assign(buffer.data());
    return true;
}

}  // namespace platform
