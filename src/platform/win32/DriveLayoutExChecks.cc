// Compile-time checks that the extended drive layout of the seam is Windows' own: the
// agent passes these buffers to DeviceIoControl unchanged.
#include "platform/DeviceControl.h"

#include <windows.h>
#include <winioctl.h>

#include <cstddef>

namespace platform {

static_assert(kIoctlDiskGetDriveLayoutEx == IOCTL_DISK_GET_DRIVE_LAYOUT_EX);
static_assert(kPartitionStyleMbr == PARTITION_STYLE_MBR);
static_assert(kPartitionStyleGpt == PARTITION_STYLE_GPT);
static_assert(kPartitionStyleRaw == PARTITION_STYLE_RAW);

static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(sizeof(PartitionInformationGpt) == sizeof(PARTITION_INFORMATION_GPT));
static_assert(offsetof(PartitionInformationGpt, partitionId) ==
              offsetof(PARTITION_INFORMATION_GPT, PartitionId));
static_assert(offsetof(PartitionInformationGpt, attributes) ==
              offsetof(PARTITION_INFORMATION_GPT, Attributes));
static_assert(offsetof(PartitionInformationGpt, name) == offsetof(PARTITION_INFORMATION_GPT, Name));
static_assert(offsetof(PartitionInformationMbr, hiddenSectors) ==
              offsetof(PARTITION_INFORMATION_MBR, HiddenSectors));
static_assert(sizeof(PartitionInformationMbr) >= sizeof(PARTITION_INFORMATION_MBR));

static_assert(sizeof(PartitionInformationEx) == sizeof(PARTITION_INFORMATION_EX));
static_assert(offsetof(PartitionInformationEx, startingOffset) ==
              offsetof(PARTITION_INFORMATION_EX, StartingOffset));
static_assert(offsetof(PartitionInformationEx, partitionLength) ==
              offsetof(PARTITION_INFORMATION_EX, PartitionLength));
static_assert(offsetof(PartitionInformationEx, partitionNumber) ==
              offsetof(PARTITION_INFORMATION_EX, PartitionNumber));
static_assert(offsetof(PartitionInformationEx, styleSpecific) ==
              offsetof(PARTITION_INFORMATION_EX, Mbr));
static_assert(offsetof(PartitionInformationEx, styleSpecific) ==
              offsetof(PARTITION_INFORMATION_EX, Gpt));
static_assert(sizeof(PartitionInformationEx::styleSpecific) >= sizeof(PARTITION_INFORMATION_GPT));

static_assert(sizeof(DriveLayoutInformationGpt) == sizeof(DRIVE_LAYOUT_INFORMATION_GPT));
static_assert(offsetof(DriveLayoutInformationGpt, usableLength) ==
              offsetof(DRIVE_LAYOUT_INFORMATION_GPT, UsableLength));
static_assert(offsetof(DriveLayoutInformationGpt, maxPartitionCount) ==
              offsetof(DRIVE_LAYOUT_INFORMATION_GPT, MaxPartitionCount));
static_assert(offsetof(DriveLayoutInformationExHeader, styleSpecific) ==
              offsetof(DRIVE_LAYOUT_INFORMATION_EX, Gpt));
static_assert(offsetof(DriveLayoutInformationExHeader, styleSpecific) ==
              offsetof(DRIVE_LAYOUT_INFORMATION_EX, Mbr));
static_assert(sizeof(DriveLayoutInformationExHeader::styleSpecific) ==
              sizeof(DRIVE_LAYOUT_INFORMATION_GPT));
static_assert(kDriveLayoutExEntryOffset == offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry));

}  // namespace platform
