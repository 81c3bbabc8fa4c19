// Volume enumeration and naming on Windows: thin pass-throughs.
#include "platform/Volumes.h"

#include <windows.h>

#include <vector>

#include "platform/win32/NativeHandle.h"

namespace platform {
namespace {

static_assert(kDriveFixed == DRIVE_FIXED && kDriveRemovable == DRIVE_REMOVABLE);
static_assert(kDriveCdrom == DRIVE_CDROM && kDriveNoRootDir == DRIVE_NO_ROOT_DIR);

class Win32VolumeEnumeration : public VolumeEnumeration {
  public:
    explicit Win32VolumeEnumeration(HANDLE find) : find_(find) {}

    bool next(std::wstring& volumeName, std::uint32_t bufferLength) override {
        std::vector<wchar_t> buffer(bufferLength + 1, L'\0');
        if (!::FindNextVolumeW(find_.get(), buffer.data(), bufferLength))
            return false;
        volumeName = buffer.data();
        return true;
    }
    bool close() override {
        if (!find_) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        return find_.reset();
    }

  private:
    win32::VolumeFindHandle find_;
};

}  // namespace

std::unique_ptr<VolumeEnumeration> findFirstVolume(std::wstring& volumeName,
                                                   std::uint32_t bufferLength) {
    std::vector<wchar_t> buffer(bufferLength + 1, L'\0');
    HANDLE find = ::FindFirstVolumeW(buffer.data(), bufferLength);
    if (find == INVALID_HANDLE_VALUE)
        return nullptr;
    volumeName = buffer.data();
    return std::make_unique<Win32VolumeEnumeration>(find);
}

std::uint32_t getDriveType(const std::wstring& rootPath) {
    return ::GetDriveTypeW(rootPath.c_str());
}

bool getVolumeInformation(const std::wstring& rootPath, VolumeInformation& information) {
    wchar_t label[kMaxPath + 1] = {};
    wchar_t fileSystem[kMaxPath + 1] = {};
    DWORD serial = 0;
    DWORD maximumComponentLength = 0;
    DWORD flags = 0;
    if (!::GetVolumeInformationW(rootPath.c_str(), label, kMaxPath + 1, &serial,
                                 &maximumComponentLength, &flags, fileSystem, kMaxPath + 1)) {
        return false;
    }
    information = VolumeInformation{label, serial, maximumComponentLength, flags, fileSystem};
    return true;
}

bool getVolumeNameForVolumeMountPoint(const std::wstring& mountPoint, std::wstring& volumeName) {
    wchar_t buffer[kMaxPath + 1] = {};
    if (!::GetVolumeNameForVolumeMountPointW(mountPoint.c_str(), buffer, kMaxPath + 1))
        return false;
    volumeName = buffer;
    return true;
}

bool getVolumePathName(const std::wstring& path, std::wstring& volumePathName) {
    std::vector<wchar_t> buffer(path.size() + kMaxPath + 1, L'\0');
    if (!::GetVolumePathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size())))
        return false;
    volumePathName = buffer.data();
    return true;
}

}  // namespace platform
