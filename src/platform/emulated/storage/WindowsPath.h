// Recognising the Windows path forms the emulated storage answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::emulated {

// "\\.\PHYSICALDRIVE7" (any case) gives 7.
std::optional<std::uint32_t> physicalDriveNumber(const std::wstring& path);

struct VolumePathParts {
    std::wstring volume;  // "\\?\Volume{...}" without anything after it
    std::wstring rest;    // "" for the device, "\" for the root, "\dir\file" for a file
};
// "\\?\Volume{...}..." or "\\.\Volume{...}...".
std::optional<VolumePathParts> splitVolumePath(const std::wstring& path);

// "\\.\C:" (the drive's volume device) gives 'C'.
std::optional<wchar_t> driveDeviceLetter(const std::wstring& path);

struct DrivePath {
    wchar_t letter = 0;                    // upper case
    std::vector<std::wstring> components;  // empty for the drive's root
};
// "C:\dir\file", "c:/dir/file" or "\\?\C:\dir\file". "." components are dropped and ".."
// removes the previous one. nullopt with invalid set when the path would climb above the
// root, names an alternate stream ("file:stream") or holds a character Windows refuses in
// names; nullopt with invalid clear when the path is not a drive path at all.
std::optional<DrivePath> parseDrivePath(const std::wstring& path, bool& invalid);

}  // namespace platform::emulated
