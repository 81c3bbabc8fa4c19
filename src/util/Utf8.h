// Strict conversions between UTF-8 and the platform's wide text (UTF-16 where wchar_t has
// 16 bits, as on Windows; UTF-32 where it has 32). Text from peers goes through here, so
// malformed input is refused rather than repaired: overlong forms, surrogate code points,
// values above U+10FFFF and truncated sequences all fail.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace util {

// nullopt when text is not well-formed UTF-8.
std::optional<std::wstring> utf8ToWide(std::string_view text);

// nullopt when text holds an unpaired surrogate or a value above U+10FFFF.
std::optional<std::string> wideToUtf8(std::wstring_view text);

}  // namespace util
