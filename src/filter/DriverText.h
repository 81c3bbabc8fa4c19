// Text as the change-tracking driver delivers it: UTF-16LE code units in a byte buffer,
// whatever the width of wchar_t on this system, and its ';'-separated volume names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace filter {

// Decodes UTF-16LE up to the first NUL or the end of the buffer (an odd last byte is
// ignored). Unpaired surrogates become U+FFFD where wchar_t holds whole code points.
std::wstring decodeUtf16Le(const std::uint8_t* data, std::size_t size);

// Splits the driver's name list at ';' and turns NT names ("\??\Volume{...}") into
// Win32 ones ("\\?\Volume{...}"). An empty text has no names; empty names between
// separators are kept so positions match the driver's.
std::vector<std::wstring> splitVolumeNames(const std::wstring& text);

// name with exactly one trailing backslash added when it has none.
std::wstring withTrailingBackslash(const std::wstring& name);

}  // namespace filter
