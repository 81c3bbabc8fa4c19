#include "vssclient/VssUtil.h"

#include <array>
#include <cwchar>
#include <cwctype>

#include "platform/Volumes.h"
#include "platform/Vss.h"
#include "platform/WideText.h"
#include "vssclient/FunctionTracer.h"
#include "vssclient/VssMessages.h"

namespace vssclient {
namespace {

bool parseHex(const std::wstring& text, std::size_t& pos, int digits, std::uint64_t* value) {
    *value = 0;
    for (int i = 0; i < digits; ++i, ++pos) {
        if (pos >= text.size() || !std::iswxdigit(text[pos]))
            return false;
        wchar_t c = static_cast<wchar_t>(std::towlower(text[pos]));
        *value = *value * 16 + static_cast<std::uint64_t>(c <= L'9' ? c - L'0' : c - L'a' + 10);
    }
    return true;
}

bool expect(const std::wstring& text, std::size_t& pos, wchar_t c) {
    if (pos >= text.size() || text[pos] != c)
        return false;
    ++pos;
    return true;
}

bool parseGuid(const std::wstring& text, platform::Guid* guid) {
    std::size_t pos = 0;
    bool braced = !text.empty() && text[0] == L'{';
    if (braced)
        ++pos;
    std::uint64_t value = 0;
    if (!parseHex(text, pos, 8, &value) || !expect(text, pos, L'-'))
        return false;
    guid->data1 = static_cast<std::uint32_t>(value);
    if (!parseHex(text, pos, 4, &value) || !expect(text, pos, L'-'))
        return false;
    guid->data2 = static_cast<std::uint16_t>(value);
    if (!parseHex(text, pos, 4, &value) || !expect(text, pos, L'-'))
        return false;
    guid->data3 = static_cast<std::uint16_t>(value);
    for (std::size_t i = 0; i < 8; ++i) {
        if (i == 2 && !expect(text, pos, L'-'))
            return false;
        if (!parseHex(text, pos, 2, &value))
            return false;
        guid->data4[i] = static_cast<std::uint8_t>(value);
    }
    if (braced && !expect(text, pos, L'}'))
        return false;
    return pos == text.size();
}

}  // namespace

std::wstring guid2WString(const platform::Guid& g) {
    wchar_t buffer[64];
    std::swprintf(buffer, 64, L"{%.8x-%.4x-%.4x-%.2x%.2x-%.2x%.2x%.2x%.2x%.2x%.2x}", g.data1,
                  g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                  g.data4[5], g.data4[6], g.data4[7]);
    return buffer;
}

platform::Guid wString2Guid(const std::wstring& text) {
    VSS_FUNCTION_TRACER(L"WString2Guid");
    platform::Guid guid;
    if (!parseGuid(text, &guid)) {
        ft.writeLine(L"ERROR: The std::string '%s' is not formatted as a GUID!", text);
        return platform::Guid{};
    }
    return guid;
}

std::wstring getUniqueVolumeNameForPath(const std::wstring& path) {
    VSS_FUNCTION_TRACER(L"GetUniqueVolumeNameForPath");
    ft.writeLine(L"- Get volume path name for %s ...", path);
    std::wstring root;
    if (!platform::getVolumePathName(path, root)) {
        ZENTRAD_THROW(runtime::VssException,
                      "GetVolumePathNameW failed for path " + platform::toNarrow(path));
    }
    ft.writeLine(L"- Path name: %s ...", root);
    std::wstring volumeName;
    VSS_CHECK_WIN32(
        L"GetVolumeNameForVolumeMountPointW( wsVolumeRootPath.c_str(), wszVolumeName, "
        L"ARRAYSIZE(wszVolumeName))",
        platform::getVolumeNameForVolumeMountPoint(root, volumeName));
    ft.writeLine(L"- Unique volume name: %s ...", volumeName);
    return volumeName;
}

std::wstring getDisplayNameForVolume(const std::wstring& volumeName) {
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        std::wstring root = std::wstring(1, letter) + L":\\";
        std::wstring mounted;
        if (platform::getVolumeNameForVolumeMountPoint(root, mounted) &&
            platform::equalsIgnoringCase(mounted, volumeName))
            return root;
    }
    return volumeName;
}

std::wstring getStringFromWriterStatus(std::int32_t state) {
    static constexpr std::array<const wchar_t*, 14> kNames = {
        L"VSS_WS_STABLE",
        L"VSS_WS_WAITING_FOR_FREEZE",
        L"VSS_WS_WAITING_FOR_THAW",
        L"VSS_WS_WAITING_FOR_POST_SNAPSHOT",
        L"VSS_WS_WAITING_FOR_BACKUP_COMPLETE",
        L"VSS_WS_FAILED_AT_IDENTIFY",
        L"VSS_WS_FAILED_AT_PREPARE_BACKUP",
        L"VSS_WS_FAILED_AT_PREPARE_SNAPSHOT",
        L"VSS_WS_FAILED_AT_FREEZE",
        L"VSS_WS_FAILED_AT_THAW",
        L"VSS_WS_FAILED_AT_POST_SNAPSHOT",
        L"VSS_WS_FAILED_AT_BACKUP_COMPLETE",
        L"VSS_WS_FAILED_AT_PRE_RESTORE",
        L"VSS_WS_FAILED_AT_POST_RESTORE",
    };
    if (state == 0)
        return L"Undefined";
    if (state < 1 || state > static_cast<std::int32_t>(kNames.size()))
        return L"Unknown constant: " + std::to_wstring(state);
    return kNames[static_cast<std::size_t>(state - 1)];
}

bool isFailedWriterState(std::int32_t state) {
    return state >= platform::kVssWsFailedAtIdentify &&
           state <= platform::kVssWsFailedAtPostRestore;
}

}  // namespace vssclient
