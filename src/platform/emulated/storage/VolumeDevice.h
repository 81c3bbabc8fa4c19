// A volume device over an arbitrary byte source. The live volumes of the emulated host use
// it over their disk extents; a snapshot view uses it over its point-in-time bytes, so both
// answer the same reads and control requests: IOCTL_DISK_GET_LENGTH_INFO,
// FSCTL_GET_NTFS_VOLUME_DATA, FSCTL_GET_VOLUME_BITMAP, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS
// (when extents are given), FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME and FSCTL_DISMOUNT_VOLUME,
// and FSCTL_GET_RETRIEVAL_POINTERS on files inside the volume.
//
// Like Windows, reads and writes on the device must start and end on 512-byte sector
// boundaries (else kErrorInvalidParameter); a read that reaches past the end returns the
// bytes up to the end; a write that would leave the device writes nothing and fails with
// kErrorSectorNotFound. Share modes are not enforced; the access given at open is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/storage/HostLayout.h"

namespace platform::emulated {

class VolumeByteSource {
  public:
    virtual ~VolumeByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Called only with ranges inside [0, size()). False with the last error set.
    virtual bool read(std::uint64_t offset, void* buffer, std::size_t length) = 0;
    // Read-only sources (snapshots) keep these defaults: writes fail with kErrorAccessDenied.
    virtual bool writable() const { return false; }
    virtual bool write(std::uint64_t offset, const void* buffer, std::size_t length);
};

struct VolumeDeviceInfo {
    // Answered by IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS; empty: the request fails with
    // kErrorInvalidFunction (as for a snapshot device).
    std::vector<VolumeExtent> extents;
    // The GUID path of the volume whose declared faults apply to reads of this device
    // (a snapshot passes the volume it was taken of); empty: no faults.
    std::wstring faultVolume;
    // The host whose host.conf declares the faults; null: Host::current().
    Host* host = nullptr;
    // The GUID path of the live volume this device is, whose lock state it shares with every
    // handle of the volume (storage/VolumeLocks.h); empty (a snapshot view): the lock,
    // unlock and dismount requests succeed without effect.
    std::wstring lockVolume;
};

// The device itself (a path without anything after the volume name).
std::unique_ptr<OpenFile> openVolumeDevice(std::shared_ptr<VolumeByteSource> source,
                                           VolumeDeviceInfo info, const OpenRequest& request);

// A file inside the volume's NTFS ("\pagefile.sys", "\dir\file"): succeeds when the file
// exists (kErrorFileNotFound, kErrorPathNotFound otherwise). Only control requests are
// answered (FSCTL_GET_RETRIEVAL_POINTERS); reading its data through it is not supported.
std::unique_ptr<OpenFile> openFileInVolume(std::shared_ptr<VolumeByteSource> source,
                                           const std::wstring& pathInVolume,
                                           const OpenRequest& request);

// Either of the two: an empty rest opens the device; "\" alone is the root directory, which
// opens only with kFileFlagBackupSemantics, as on Windows; anything else is a file inside.
std::unique_ptr<OpenFile> openVolumePath(std::shared_ptr<VolumeByteSource> source,
                                         VolumeDeviceInfo info, const std::wstring& rest,
                                         const OpenRequest& request);

// The bytes of a live volume of the host: its extents on the disk images, read raw and
// written through DiskImage::write (so observers see every write). Null with the last
// error set when a disk image cannot be opened.
std::shared_ptr<VolumeByteSource> liveVolumeSource(Host& host, const VolumeInfo& volume,
                                                   bool writable);

}  // namespace platform::emulated
