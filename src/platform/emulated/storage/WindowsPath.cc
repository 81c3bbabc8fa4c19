#include "platform/emulated/storage/WindowsPath.h"

#include <cwctype>

#include "platform/WideText.h"

namespace platform::emulated {
namespace {

bool separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool validComponent(const std::wstring& name) {
    for (wchar_t c : name) {
        if (c < 0x20 || std::wstring(L"<>:\"|?*").find(c) != std::wstring::npos)
            return false;
    }
    return true;
}

}  // namespace

std::optional<std::uint32_t> physicalDriveNumber(const std::wstring& path) {
    const std::wstring prefix = L"\\\\.\\PHYSICALDRIVE";
    if (!startsWithIgnoringCase(path, prefix))
        return std::nullopt;
    std::wstring digits = path.substr(prefix.size());
    if (digits.empty() || digits.size() > 6)
        return std::nullopt;
    std::uint32_t number = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        number = number * 10 + static_cast<std::uint32_t>(c - L'0');
    }
    return number;
}

std::optional<VolumePathParts> splitVolumePath(const std::wstring& path) {
    if (!startsWithIgnoringCase(path, L"\\\\?\\Volume{") &&
        !startsWithIgnoringCase(path, L"\\\\.\\Volume{")) {
        return std::nullopt;
    }
    auto close = path.find(L'}');
    if (close == std::wstring::npos)
        return std::nullopt;
    VolumePathParts parts{L"\\\\?\\" + path.substr(4, close - 3), path.substr(close + 1)};
    if (!parts.rest.empty() && !separator(parts.rest.front()))
        return std::nullopt;
    return parts;
}

std::optional<wchar_t> driveDeviceLetter(const std::wstring& path) {
    if (path.size() != 6 || !startsWithIgnoringCase(path, L"\\\\.\\") || path[5] != L':' ||
        !std::iswalpha(path[4])) {
        return std::nullopt;
    }
    return static_cast<wchar_t>(std::towupper(path[4]));
}

std::optional<DrivePath> parseDrivePath(const std::wstring& path, bool& invalid) {
    invalid = false;
    std::wstring text = startsWithIgnoringCase(path, L"\\\\?\\") ? path.substr(4) : path;
    if (text.size() < 3 || !std::iswalpha(text[0]) || text[1] != L':' || !separator(text[2]) ||
        text[0] > 0x7F) {
        return std::nullopt;
    }
    DrivePath result;
    result.letter = static_cast<wchar_t>(std::towupper(text[0]));
    std::wstring name;
    for (std::size_t i = 3; i <= text.size(); ++i) {
        if (i < text.size() && !separator(text[i])) {
            name += text[i];
            continue;
        }
        if (name == L"..") {
            if (result.components.empty()) {
                invalid = true;
                return std::nullopt;
            }
            result.components.pop_back();
        } else if (!name.empty() && name != L".") {
            if (!validComponent(name)) {
                invalid = true;
                return std::nullopt;
            }
            result.components.push_back(name);
        }
        name.clear();
    }
    return result;
}

}  // namespace platform::emulated
