// Installs disks, volumes and files on mapped drives into an emulated host.
#include "platform/emulated/storage/DeviceCommon.h"
#include "platform/emulated/storage/DiskDevice.h"
#include "platform/emulated/storage/DriveNamespace.h"
#include "platform/emulated/storage/HostLayout.h"
#include "platform/emulated/storage/VolumeDevice.h"
#include "platform/emulated/storage/WindowsPath.h"

namespace platform::emulated {
namespace {

class PhysicalDriveProvider : public DeviceProvider {
  public:
    explicit PhysicalDriveProvider(Host& host) : host_(host) {}
    bool claims(const std::wstring& path) const override {
        return physicalDriveNumber(path).has_value();
    }
    std::unique_ptr<OpenFile> open(const OpenRequest& request) override {
        return openDiskDevice(host_, *physicalDriveNumber(request.path), request);
    }

  private:
    Host& host_;
};

// "\\?\Volume{...}" (and files inside it) and the drive-letter devices "\\.\C:".
class VolumeProvider : public DeviceProvider {
  public:
    explicit VolumeProvider(Host& host) : host_(host) {}
    bool claims(const std::wstring& path) const override {
        return splitVolumePath(path).has_value() || driveDeviceLetter(path).has_value();
    }
    std::unique_ptr<OpenFile> open(const OpenRequest& request) override {
        HostLayout layout = HostLayout::load(host_);
        const VolumeInfo* volume = nullptr;
        std::wstring rest;
        if (auto letter = driveDeviceLetter(request.path)) {
            volume = layout.volumeForLetter(*letter);
        } else {
            auto parts = *splitVolumePath(request.path);
            volume = layout.findVolume(parts.volume);
            rest = parts.rest;
        }
        if (volume == nullptr) {
            setLastError(kErrorFileNotFound);
            return nullptr;
        }
        if (volume->kind == VolumeKind::Optical || volume->media == DiskMedia::NotReady) {
            setLastError(kErrorNotReady);
            return nullptr;
        }
        return openLive(*volume, rest, request);
    }

  private:
    std::unique_ptr<OpenFile> openLive(const VolumeInfo& volume, const std::wstring& rest,
                                       const OpenRequest& request) {
        bool writable = rest.empty() && canWrite(request.desiredAccess);
        auto source = liveVolumeSource(host_, volume, writable);
        if (!source)
            return nullptr;
        VolumeDeviceInfo info{volume.extents, volume.guidPath, &host_, volume.guidPath};
        return openVolumePath(std::move(source), std::move(info), rest, request);
    }

    Host& host_;
};

class DriveFileProvider : public DeviceProvider {
  public:
    explicit DriveFileProvider(Host& host) : host_(host) {}
    bool claims(const std::wstring& path) const override { return isDrivePath(path); }
    std::unique_ptr<OpenFile> open(const OpenRequest& request) override {
        return openDriveFile(host_, request);
    }

  private:
    Host& host_;
};

}  // namespace

void registerStorageDevices(Host& host) {
    host.devices().add(std::make_unique<PhysicalDriveProvider>(host));
    host.devices().add(std::make_unique<VolumeProvider>(host));
    host.devices().add(std::make_unique<DriveFileProvider>(host));
}

}  // namespace platform::emulated
