// Volume enumeration and naming on the emulated host.
#include "platform/Volumes.h"

#include <array>
#include <cstring>
#include <vector>

#include "platform/DeviceControl.h"
#include "platform/File.h"
#include "platform/emulated/storage/DeviceCommon.h"
#include "platform/emulated/storage/HostLayout.h"
#include "platform/emulated/storage/WindowsPath.h"

namespace platform {
namespace {

using emulated::DiskMedia;
using emulated::HostLayout;
using emulated::VolumeInfo;
using emulated::VolumeKind;

class EmulatedVolumeEnumeration : public VolumeEnumeration {
  public:
    explicit EmulatedVolumeEnumeration(std::vector<std::wstring> names)
        : names_(std::move(names)) {}

    bool next(std::wstring& volumeName, std::uint32_t bufferLength) override {
        if (closed_)
            return emulated::fail(kErrorInvalidHandle);
        if (position_ >= names_.size())
            return emulated::fail(kErrorNoMoreFiles);
        if (names_[position_].size() + 1 > bufferLength) {
            return emulated::fail(kErrorFilenameExcedRange);
        }
        volumeName = names_[position_++];
        return true;
    }

    bool close() override {
        if (closed_)
            return emulated::fail(kErrorInvalidHandle);
        closed_ = true;
        return true;
    }

  private:
    std::vector<std::wstring> names_;
    std::size_t position_ = 0;
    bool closed_ = false;
};

bool endsWithBackslash(const std::wstring& path) {
    return !path.empty() && path.back() == L'\\';
}

// "X:\" gives X; anything else 0.
wchar_t driveRootLetter(const std::wstring& path) {
    if (path.size() == 3 && path[1] == L':' && path[2] == L'\\' && std::iswalpha(path[0])) {
        return static_cast<wchar_t>(std::towupper(path[0]));
    }
    return 0;
}

const VolumeInfo* volumeAtRoot(const HostLayout& layout, const std::wstring& rootPath) {
    if (wchar_t letter = driveRootLetter(rootPath))
        return layout.volumeForLetter(letter);
    return layout.findVolume(rootPath);
}

// The device path that a root path's volume opens as.
std::wstring deviceOfRoot(const std::wstring& rootPath) {
    if (wchar_t letter = driveRootLetter(rootPath))
        return std::wstring(L"\\\\.\\") + letter + L":";
    std::wstring device = rootPath;
    while (endsWithBackslash(device))
        device.pop_back();
    return device;
}

bool holdsNtfs(FileHandle& device, std::uint32_t& serialNumber) {
    std::array<std::uint8_t, 512> boot{};
    std::uint32_t read = 0;
    if (!readFile(device, boot.data(), boot.size(), &read))
        return false;
    if (read != boot.size() || std::memcmp(boot.data() + 3, "NTFS    ", 8) != 0) {
        return emulated::fail(kErrorUnrecognizedVolume);
    }
    NtfsVolumeDataBuffer data{};
    std::uint32_t returned = 0;
    if (!deviceIoControl(device, kFsctlGetNtfsVolumeData, nullptr, 0, &data, sizeof data,
                         &returned)) {
        return emulated::fail(kErrorUnrecognizedVolume);
    }
    serialNumber = static_cast<std::uint32_t>(data.volumeSerialNumber);
    return true;
}

}  // namespace

std::unique_ptr<VolumeEnumeration> findFirstVolume(std::wstring& volumeName,
                                                   std::uint32_t bufferLength) {
    HostLayout layout = HostLayout::load(emulated::Host::current());
    std::vector<std::wstring> names;
    for (const auto& volume : layout.volumes())
        names.push_back(volume.guidPath);
    if (names.empty()) {
        setLastError(kErrorNoMoreFiles);
        return nullptr;
    }
    auto enumeration = std::make_unique<EmulatedVolumeEnumeration>(std::move(names));
    if (!enumeration->next(volumeName, bufferLength))
        return nullptr;
    return enumeration;
}

std::uint32_t getDriveType(const std::wstring& rootPath) {
    if (!endsWithBackslash(rootPath))
        return kDriveNoRootDir;
    HostLayout layout = HostLayout::load(emulated::Host::current());
    if (const VolumeInfo* volume = volumeAtRoot(layout, rootPath)) {
        if (volume->kind == VolumeKind::Optical)
            return kDriveCdrom;
        return volume->media == DiskMedia::Removable ? kDriveRemovable : kDriveFixed;
    }
    if (driveRootLetter(rootPath) != 0)
        return kDriveNoRootDir;
    // Other volume devices (snapshot views) count as fixed when they open.
    FileHandle device =
        createFile(deviceOfRoot(rootPath), 0, kFileShareRead | kFileShareWrite, kOpenExisting, 0);
    return device ? kDriveFixed : kDriveNoRootDir;
}

bool getVolumeInformation(const std::wstring& rootPath, VolumeInformation& information) {
    if (!endsWithBackslash(rootPath))
        return emulated::fail(kErrorInvalidName);
    FileHandle device = createFile(deviceOfRoot(rootPath), kGenericRead,
                                   kFileShareRead | kFileShareWrite, kOpenExisting, 0);
    if (!device)
        return false;
    std::uint32_t serial = 0;
    if (!holdsNtfs(device, serial))
        return false;
    information = VolumeInformation{};
    information.serialNumber = serial;
    information.maximumComponentLength = 255;
    // Case-preserving, Unicode, ACLs, compression, quotas, sparse files, reparse points,
    // object IDs, encryption and named streams, as NTFS reports.
    information.fileSystemFlags = 0x000700FF;
    information.fileSystemName = L"NTFS";
    return true;
}

bool getVolumeNameForVolumeMountPoint(const std::wstring& mountPoint, std::wstring& volumeName) {
    if (!endsWithBackslash(mountPoint))
        return emulated::fail(kErrorInvalidName);
    HostLayout layout = HostLayout::load(emulated::Host::current());
    const VolumeInfo* volume = volumeAtRoot(layout, mountPoint);
    if (volume == nullptr)
        return emulated::fail(kErrorFileNotFound);
    volumeName = volume->guidPath;
    return true;
}

bool getVolumePathName(const std::wstring& path, std::wstring& volumePathName) {
    if (auto parts = emulated::splitVolumePath(path)) {
        volumePathName = parts->volume + L"\\";
        return true;
    }
    bool invalid = false;
    auto drive = emulated::parseDrivePath(path, invalid);
    if (!drive)
        return emulated::fail(invalid ? kErrorInvalidName : kErrorPathNotFound);
    HostLayout layout = HostLayout::load(emulated::Host::current());
    if (!layout.letterAssigned(drive->letter))
        return emulated::fail(kErrorPathNotFound);
    volumePathName = std::wstring(1, drive->letter) + L":\\";
    return true;
}

}  // namespace platform
