#include "platform/emulated/ntfs/VolumePath.h"

#include <algorithm>
#include <string_view>

#include "platform/emulated/ntfs/NtfsError.h"

namespace platform::emulated::ntfs {

namespace {

[[noreturn]] void invalid(const std::string& why) {
    fail(kErrorInvalidName, "invalid path: " + why);
}

// wchar_t holds UTF-32 on the emulated host and UTF-16 on Windows; both become UTF-16.
void appendUtf16(std::u16string& out, wchar_t c) {
    auto code = static_cast<std::uint32_t>(c);
    if (code > 0x10FFFF) {
        invalid("character outside Unicode");
    }
    if (code < 0x10000) {
        out.push_back(static_cast<char16_t>(code));
        return;
    }
    code -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
}

}  // namespace

std::vector<std::u16string> splitVolumePath(const std::wstring& path) {
    if (path.empty() || path.front() != L'\\') {
        invalid("does not start with a backslash");
    }
    if (path.size() > kMaxPathLength) {
        invalid("longer than 32767 characters");
    }
    std::wstring_view rest(path);
    rest.remove_prefix(1);
    if (!rest.empty() && rest.back() == L'\\') {
        rest.remove_suffix(1);
    }
    std::vector<std::u16string> components;
    if (rest.empty()) {
        return components;
    }
    // Split on every separator: n separators give n + 1 names, none of which may be empty.
    std::size_t start = 0;
    while (true) {
        std::size_t end = std::min(rest.find(L'\\', start), rest.size());
        std::u16string name;
        for (wchar_t c : rest.substr(start, end - start)) {
            appendUtf16(name, c);
        }
        if (name.empty() || name.size() > kMaxNameLength) {
            invalid("a name is empty or longer than 255 characters");
        }
        components.push_back(std::move(name));
        if (end == rest.size()) {
            break;
        }
        start = end + 1;
    }
    return components;
}

}  // namespace platform::emulated::ntfs
