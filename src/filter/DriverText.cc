#include "filter/DriverText.h"

namespace filter {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

void appendCodePoint(std::wstring& out, char32_t codePoint) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (codePoint >> 10));
            out += static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(codePoint);
}

bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

std::wstring decodeUtf16Le(const std::uint8_t* data, std::size_t size) {
    std::vector<char16_t> units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0)
            break;
        units.push_back(unit);
    }
    std::wstring text;
    text.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        char16_t unit = units[i];
        if (isHighSurrogate(unit) && i + 1 < units.size() && isLowSurrogate(units[i + 1])) {
            appendCodePoint(text, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            appendCodePoint(text, kReplacement);
        } else {
            appendCodePoint(text, unit);
        }
    }
    return text;
}

std::vector<std::wstring> splitVolumeNames(const std::wstring& text) {
    std::vector<std::wstring> names;
    if (text.empty())
        return names;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(L';', start);
        std::wstring name = text.substr(start, end == std::wstring::npos ? end : end - start);
        if (name.size() > 1 && name[1] == L'?')
            name[1] = L'\\';
        names.push_back(std::move(name));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    return names;
}

std::wstring withTrailingBackslash(const std::wstring& name) {
    if (!name.empty() && name.back() == L'\\')
        return name;
    return name + L'\\';
}

}  // namespace filter
