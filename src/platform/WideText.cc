#include "platform/WideText.h"

#include <cwctype>

namespace platform {
namespace {

bool sameLetter(wchar_t a, wchar_t b) {
    return std::towupper(a) == std::towupper(b);
}

}  // namespace

std::wstring upperCase(std::wstring text) {
    for (auto& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

bool equalsIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && startsWithIgnoringCase(a, b);
}

bool startsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (!sameLetter(text[i], prefix[i]))
            return false;
    }
    return true;
}

std::wstring withoutTrailingBackslashes(std::wstring name) {
    while (!name.empty() && name.back() == L'\\')
        name.pop_back();
    return name;
}

}  // namespace platform
