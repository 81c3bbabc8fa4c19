// Compile-time checks that the seam's control codes and buffer layouts are Windows' own.
#include "platform/DeviceControl.h"

#include <windows.h>
#include <winioctl.h>

namespace platform {

static_assert(kIoctlDiskGetDriveGeometry == IOCTL_DISK_GET_DRIVE_GEOMETRY);
static_assert(kIoctlDiskGetDriveGeometryEx == IOCTL_DISK_GET_DRIVE_GEOMETRY_EX);
static_assert(kIoctlDiskGetDriveLayout == IOCTL_DISK_GET_DRIVE_LAYOUT);
static_assert(kIoctlDiskGetLengthInfo == IOCTL_DISK_GET_LENGTH_INFO);
static_assert(kIoctlDiskUpdateProperties == IOCTL_DISK_UPDATE_PROPERTIES);
static_assert(kIoctlVolumeGetVolumeDiskExtents == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS);
static_assert(kFsctlGetNtfsVolumeData == FSCTL_GET_NTFS_VOLUME_DATA);
static_assert(kFsctlGetVolumeBitmap == FSCTL_GET_VOLUME_BITMAP);
static_assert(kFsctlGetRetrievalPointers == FSCTL_GET_RETRIEVAL_POINTERS);
static_assert(kFsctlLockVolume == FSCTL_LOCK_VOLUME);
static_assert(kFsctlUnlockVolume == FSCTL_UNLOCK_VOLUME);
static_assert(kFsctlDismountVolume == FSCTL_DISMOUNT_VOLUME);
static_assert(kFsctlAllowExtendedDasdIo == FSCTL_ALLOW_EXTENDED_DASD_IO);
static_assert(kIoctlStorageQueryProperty == IOCTL_STORAGE_QUERY_PROPERTY);
static_assert(kStorageAccessAlignmentProperty == StorageAccessAlignmentProperty);
static_assert(kPropertyStandardQuery == PropertyStandardQuery);
static_assert(kMediaTypeFixed == FixedMedia && kMediaTypeRemovable == RemovableMedia);

static_assert(sizeof(DiskGeometry) == sizeof(DISK_GEOMETRY));
static_assert(sizeof(DiskGeometryEx) == sizeof(DISK_GEOMETRY_EX));
static_assert(sizeof(PartitionInformation) == sizeof(PARTITION_INFORMATION));
static_assert(offsetof(PartitionInformation, partitionType) ==
              offsetof(PARTITION_INFORMATION, PartitionType));
static_assert(kDriveLayoutEntryOffset == offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry));
static_assert(sizeof(DiskExtent) == sizeof(DISK_EXTENT));
static_assert(offsetof(VOLUME_DISK_EXTENTS, Extents) == sizeof(VolumeDiskExtentsHeader));
static_assert(sizeof(NtfsVolumeDataBuffer) == sizeof(NTFS_VOLUME_DATA_BUFFER));
static_assert(offsetof(VOLUME_BITMAP_BUFFER, Buffer) == sizeof(VolumeBitmapBufferHeader));
static_assert(kVolumeBitmapMinimumSize == sizeof(VOLUME_BITMAP_BUFFER));
static_assert(offsetof(RETRIEVAL_POINTERS_BUFFER, Extents) == sizeof(RetrievalPointersHeader));
static_assert(kRetrievalPointersMinimumSize == sizeof(RETRIEVAL_POINTERS_BUFFER));
static_assert(sizeof(GetLengthInformation) == sizeof(GET_LENGTH_INFORMATION));
static_assert(sizeof(StoragePropertyQuery) == sizeof(STORAGE_PROPERTY_QUERY));
static_assert(sizeof(StorageAccessAlignmentDescriptor) ==
              sizeof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR));
static_assert(offsetof(StorageAccessAlignmentDescriptor, bytesPerPhysicalSector) ==
              offsetof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR, BytesPerPhysicalSector));

}  // namespace platform
