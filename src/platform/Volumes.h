// Volume enumeration and naming, shaped like FindFirstVolumeW, FindNextVolumeW,
// FindVolumeClose, GetDriveTypeW, GetVolumeInformationW, GetVolumeNameForVolumeMountPointW
// and GetVolumePathNameW. Volume names are GUID paths with a trailing backslash
// ("\\?\Volume{...}\"); open them without it to get the volume device. Failures set the
// last error (getLastError()) to the Windows error number.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// GetDriveTypeW results.
constexpr std::uint32_t kDriveUnknown = 0;
constexpr std::uint32_t kDriveNoRootDir = 1;
constexpr std::uint32_t kDriveRemovable = 2;
constexpr std::uint32_t kDriveFixed = 3;
constexpr std::uint32_t kDriveRemote = 4;
constexpr std::uint32_t kDriveCdrom = 5;
constexpr std::uint32_t kDriveRamdisk = 6;

// Longest name Windows uses for these calls' buffers (MAX_PATH).
constexpr std::uint32_t kMaxPath = 260;

// One volume enumeration (a find handle); closed when destroyed if close() was not called.
// next() fails with kErrorNoMoreFiles (18) after the last volume. A name longer than
// bufferLength - 1 characters fails with kErrorFilenameExcedRange (206).
class VolumeEnumeration {
  public:
    virtual ~VolumeEnumeration() = default;
    virtual bool next(std::wstring& volumeName, std::uint32_t bufferLength = kMaxPath) = 0;
    // FindVolumeClose: false (last error set) when the handle was already closed.
    virtual bool close() = 0;
};

// FindFirstVolumeW: the enumeration positioned after the first volume, whose name is
// stored in volumeName; null with the last error set (kErrorNoMoreFiles when the machine
// has no volumes).
std::unique_ptr<VolumeEnumeration> findFirstVolume(std::wstring& volumeName,
                                                   std::uint32_t bufferLength = kMaxPath);

// GetDriveTypeW. A root path needs its trailing backslash; without one, or for a path that
// names no volume, the answer is kDriveNoRootDir.
std::uint32_t getDriveType(const std::wstring& rootPath);

struct VolumeInformation {
    std::wstring volumeName;  // label
    std::uint32_t serialNumber = 0;
    std::uint32_t maximumComponentLength = 0;
    std::uint32_t fileSystemFlags = 0;
    std::wstring fileSystemName;  // "NTFS"
};

// GetVolumeInformationW on a root path ("C:\", "\\?\Volume{...}\"). Fails with
// kErrorUnrecognizedVolume (1005) when the volume holds no file system Windows knows, and
// with kErrorNotReady (21) when its medium is not ready.
bool getVolumeInformation(const std::wstring& rootPath, VolumeInformation& information);

// GetVolumeNameForVolumeMountPointW: "C:\" (the trailing backslash is required) gives the
// GUID path of the volume mounted there, with its trailing backslash.
bool getVolumeNameForVolumeMountPoint(const std::wstring& mountPoint, std::wstring& volumeName);

// GetVolumePathNameW: the mount point (root) of the volume that holds path, with a trailing
// backslash ("C:\dir\file" gives "C:\").
bool getVolumePathName(const std::wstring& path, std::wstring& volumePathName);

}  // namespace platform
