// A path inside a volume as the emulated host receives it ("\dir\file.bin"), split into
// UTF-16 name components.
#pragma once

#include <string>
#include <vector>

namespace platform::emulated::ntfs {

// NTFS allows 255 UTF-16 code units per name; Windows paths stop at 32767.
constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kMaxPathLength = 32767;

// The components after the leading backslash; "\" gives none, one trailing backslash is
// allowed. kErrorInvalidName for anything else (no leading backslash, empty or overlong
// components, characters outside Unicode).
std::vector<std::u16string> splitVolumePath(const std::wstring& path);

}  // namespace platform::emulated::ntfs
