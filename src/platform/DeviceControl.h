// Device control requests through deviceIoControl (File.h): the Windows control codes and
// the Windows buffer layouts, as fixed-width little-endian structs. Both implementations of
// the seam read and write these exact bytes.
//
// Errors, as Windows reports them:
//   kErrorInsufficientBuffer (122)  the output buffer cannot hold even the fixed part
//   kErrorMoreData (234)            a variable-length reply did not fit; the buffer holds as
//                                   much as fits (volume bitmap, retrieval pointers, extents)
//   kErrorNotReady (21)             the medium is not ready (disk geometry of a not-ready disk)
//   kErrorInvalidFunction (1)       the device does not answer this code (e.g. NTFS requests
//                                   on a volume that holds no NTFS)
//   kErrorInvalidParameter (87)     an input buffer that is too short or names a position
//                                   outside the volume
//   kErrorHandleEof (38)            retrieval pointers of a file without clusters
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/Com.h"

namespace platform {

// CTL_CODE(deviceType, function, method, access).
constexpr std::uint32_t ctlCode(std::uint32_t deviceType, std::uint32_t function,
                                std::uint32_t method, std::uint32_t access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
// The access a handle needs for a control code: 0 any, 1 read, 2 write, 3 both.
constexpr std::uint32_t ctlCodeAccess(std::uint32_t code) {
    return (code >> 14) & 3;
}

constexpr std::uint32_t kIoctlDiskGetDriveGeometry = 0x00070000;
constexpr std::uint32_t kIoctlDiskGetDriveLayout = 0x0007400C;
constexpr std::uint32_t kIoctlDiskGetLengthInfo = 0x0007405C;
constexpr std::uint32_t kIoctlDiskGetDriveLayoutEx = 0x00070050;
constexpr std::uint32_t kIoctlDiskGetDriveGeometryEx = 0x000700A0;
constexpr std::uint32_t kIoctlDiskUpdateProperties = 0x00070140;
constexpr std::uint32_t kIoctlVolumeGetVolumeDiskExtents = 0x00560000;
constexpr std::uint32_t kFsctlGetNtfsVolumeData = 0x00090064;
constexpr std::uint32_t kFsctlGetVolumeBitmap = 0x0009006F;
constexpr std::uint32_t kFsctlGetRetrievalPointers = 0x00090073;

static_assert(kIoctlDiskGetDriveGeometry == ctlCode(7, 0x00, 0, 0));
static_assert(kIoctlDiskGetDriveLayout == ctlCode(7, 0x03, 0, 1));
static_assert(kIoctlDiskGetLengthInfo == ctlCode(7, 0x17, 0, 1));
static_assert(kIoctlDiskGetDriveLayoutEx == ctlCode(7, 0x14, 0, 0));
static_assert(kIoctlDiskGetDriveGeometryEx == ctlCode(7, 0x28, 0, 0));
static_assert(kIoctlDiskUpdateProperties == ctlCode(7, 0x50, 0, 0));
static_assert(kIoctlVolumeGetVolumeDiskExtents == ctlCode(0x56, 0, 0, 0));
static_assert(kFsctlGetNtfsVolumeData == ctlCode(9, 25, 0, 0));
static_assert(kFsctlGetVolumeBitmap == ctlCode(9, 27, 3, 0));
static_assert(kFsctlGetRetrievalPointers == ctlCode(9, 28, 3, 0));

// MEDIA_TYPE values the agent distinguishes.
constexpr std::uint32_t kMediaTypeUnknown = 0;
constexpr std::uint32_t kMediaTypeRemovable = 11;
constexpr std::uint32_t kMediaTypeFixed = 12;

// DISK_GEOMETRY.
struct DiskGeometry {
    std::int64_t cylinders;
    std::uint32_t mediaType;
    std::uint32_t tracksPerCylinder;
    std::uint32_t sectorsPerTrack;
    std::uint32_t bytesPerSector;
};
static_assert(sizeof(DiskGeometry) == 24);
static_assert(offsetof(DiskGeometry, mediaType) == 8);
static_assert(offsetof(DiskGeometry, bytesPerSector) == 20);

// DISK_GEOMETRY_EX up to its variable tail (DISK_PARTITION_INFO and DISK_DETECTION_INFO
// follow when the buffer has room; callers of the agent do not read them). Windows accepts
// any buffer of at least kDiskGeometryExMinimumSize bytes.
struct DiskGeometryEx {
    DiskGeometry geometry;
    std::int64_t diskSize;
    std::uint8_t data[8];
};
static_assert(sizeof(DiskGeometryEx) == 40);
static_assert(offsetof(DiskGeometryEx, diskSize) == 24);
constexpr std::uint32_t kDiskGeometryExMinimumSize = 32;

// GET_LENGTH_INFORMATION.
struct GetLengthInformation {
    std::int64_t length;
};
static_assert(sizeof(GetLengthInformation) == 8);

// PARTITION_INFORMATION, one entry of the classic DRIVE_LAYOUT_INFORMATION.
struct PartitionInformation {
    std::int64_t startingOffset;
    std::int64_t partitionLength;
    std::uint32_t hiddenSectors;
    std::uint32_t partitionNumber;
    std::uint8_t partitionType;
    std::uint8_t bootIndicator;
    std::uint8_t recognizedPartition;
    std::uint8_t rewritePartition;
    std::uint8_t padding[4];
};
static_assert(sizeof(PartitionInformation) == 32);
static_assert(offsetof(PartitionInformation, hiddenSectors) == 16);
static_assert(offsetof(PartitionInformation, partitionType) == 24);
static_assert(offsetof(PartitionInformation, recognizedPartition) == 26);

// DRIVE_LAYOUT_INFORMATION: this header, then partitionCount entries. For an MBR disk the
// count is a multiple of 4: the four MBR slots in table order, then the four slots of each
// extended boot record in chain order, empty and container slots included. Offsets are
// absolute byte offsets on the disk. A buffer too small for every entry fails with
// kErrorInsufficientBuffer. A GPT disk has no classic layout: the request fails with
// kErrorInvalidFunction (use kIoctlDiskGetDriveLayoutEx).
struct DriveLayoutInformationHeader {
    std::uint32_t partitionCount;
    std::uint32_t signature;
};
static_assert(sizeof(DriveLayoutInformationHeader) == 8);
constexpr std::size_t kDriveLayoutEntryOffset = 8;

// PARTITION_STYLE.
constexpr std::uint32_t kPartitionStyleMbr = 0;
constexpr std::uint32_t kPartitionStyleGpt = 1;
constexpr std::uint32_t kPartitionStyleRaw = 2;

// PARTITION_INFORMATION_MBR and PARTITION_INFORMATION_GPT, the style-specific tails of an
// entry of DRIVE_LAYOUT_INFORMATION_EX. A GPT name is UTF-16, padded with zeros.
struct PartitionInformationMbr {
    std::uint8_t partitionType;
    std::uint8_t bootIndicator;
    std::uint8_t recognizedPartition;
    std::uint8_t padding;
    std::uint32_t hiddenSectors;
    Guid partitionId;
};
static_assert(sizeof(PartitionInformationMbr) == 24);
static_assert(offsetof(PartitionInformationMbr, hiddenSectors) == 4);
struct PartitionInformationGpt {
    Guid partitionType;
    Guid partitionId;
    std::uint64_t attributes;
    std::uint16_t name[36];
};
static_assert(sizeof(PartitionInformationGpt) == 112);
static_assert(offsetof(PartitionInformationGpt, attributes) == 32);

// Windows' unions of style-specific parts, held as bytes and copied in and out, since the
// parts' GUIDs are not trivially constructible union members.
template <typename T, std::size_t N>
T unionPart(const std::uint8_t (&bytes)[N]) {
    static_assert(sizeof(T) <= N);
    T value{};
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}
template <typename T, std::size_t N>
void setUnionPart(std::uint8_t (&bytes)[N], const T& value) {
    static_assert(sizeof(T) <= N);
    std::memset(bytes, 0, N);
    std::memcpy(bytes, &value, sizeof(T));
}

// PARTITION_INFORMATION_EX. Read mbr() or gpt() as partitionStyle says.
struct PartitionInformationEx {
    std::uint32_t partitionStyle;
    std::uint32_t padding1;
    std::int64_t startingOffset;
    std::int64_t partitionLength;
    std::uint32_t partitionNumber;
    std::uint8_t rewritePartition;
    std::uint8_t isServicePartition;
    std::uint8_t padding2[2];
    std::uint8_t styleSpecific[112];

    PartitionInformationMbr mbr() const {
        return unionPart<PartitionInformationMbr>(styleSpecific);
    }
    PartitionInformationGpt gpt() const {
        return unionPart<PartitionInformationGpt>(styleSpecific);
    }
    void setMbr(const PartitionInformationMbr& part) { setUnionPart(styleSpecific, part); }
    void setGpt(const PartitionInformationGpt& part) { setUnionPart(styleSpecific, part); }
};
static_assert(sizeof(PartitionInformationEx) == 144);
static_assert(offsetof(PartitionInformationEx, startingOffset) == 8);
static_assert(offsetof(PartitionInformationEx, partitionNumber) == 24);
static_assert(offsetof(PartitionInformationEx, styleSpecific) == 32);

// DRIVE_LAYOUT_INFORMATION_EX: this header, then partitionCount entries from
// kDriveLayoutExEntryOffset on. An MBR disk lists its slots as the classic layout does (4
// per table, empty and container slots included). A GPT disk lists its used entries in
// entry-array order, partition numbers counting from 1. A disk without a table has the raw
// style and no entries. A buffer too small for every entry fails with
// kErrorInsufficientBuffer.
struct DriveLayoutInformationGpt {
    Guid diskId;
    std::int64_t startingUsableOffset;
    std::int64_t usableLength;
    std::uint32_t maxPartitionCount;
    std::uint32_t padding;
};
static_assert(sizeof(DriveLayoutInformationGpt) == 40);
struct DriveLayoutInformationExHeader {
    std::uint32_t partitionStyle;
    std::uint32_t partitionCount;
    std::uint8_t styleSpecific[40];

    // DRIVE_LAYOUT_INFORMATION_MBR begins with the disk signature.
    std::uint32_t mbrSignature() const { return unionPart<std::uint32_t>(styleSpecific); }
    DriveLayoutInformationGpt gpt() const {
        return unionPart<DriveLayoutInformationGpt>(styleSpecific);
    }
    void setMbrSignature(std::uint32_t signature) { setUnionPart(styleSpecific, signature); }
    void setGpt(const DriveLayoutInformationGpt& part) { setUnionPart(styleSpecific, part); }
};
static_assert(sizeof(DriveLayoutInformationExHeader) == 48);
constexpr std::size_t kDriveLayoutExEntryOffset = 48;

// DISK_EXTENT and VOLUME_DISK_EXTENTS (header, then extents). A buffer that holds the header
// and one extent but not all of them fails with kErrorMoreData after filling the count.
struct DiskExtent {
    std::uint32_t diskNumber;
    std::uint32_t padding;
    std::int64_t startingOffset;
    std::int64_t extentLength;
};
static_assert(sizeof(DiskExtent) == 24);
static_assert(offsetof(DiskExtent, startingOffset) == 8);
struct VolumeDiskExtentsHeader {
    std::uint32_t numberOfDiskExtents;
    std::uint32_t padding;
};
static_assert(sizeof(VolumeDiskExtentsHeader) == 8);
constexpr std::size_t kVolumeDiskExtentsMinimumSize = 32;

// NTFS_VOLUME_DATA_BUFFER.
struct NtfsVolumeDataBuffer {
    std::int64_t volumeSerialNumber;
    std::int64_t numberSectors;
    std::int64_t totalClusters;
    std::int64_t freeClusters;
    std::int64_t totalReserved;
    std::uint32_t bytesPerSector;
    std::uint32_t bytesPerCluster;
    std::uint32_t bytesPerFileRecordSegment;
    std::uint32_t clustersPerFileRecordSegment;
    std::int64_t mftValidDataLength;
    std::int64_t mftStartLcn;
    std::int64_t mft2StartLcn;
    std::int64_t mftZoneStart;
    std::int64_t mftZoneEnd;
};
static_assert(sizeof(NtfsVolumeDataBuffer) == 96);
static_assert(offsetof(NtfsVolumeDataBuffer, totalClusters) == 16);
static_assert(offsetof(NtfsVolumeDataBuffer, bytesPerCluster) == 44);
static_assert(offsetof(NtfsVolumeDataBuffer, mftStartLcn) == 64);

// STARTING_LCN_INPUT_BUFFER and the header of VOLUME_BITMAP_BUFFER (the bitmap bytes follow).
// The reply's startingLcn is the requested one rounded down to a multiple of 8; bitmapSize
// counts the clusters from there to the end of the volume. When the bitmap does not fit the
// call fails with kErrorMoreData and the buffer holds as many whole bytes as fit.
struct StartingLcnInputBuffer {
    std::int64_t startingLcn;
};
static_assert(sizeof(StartingLcnInputBuffer) == 8);
struct VolumeBitmapBufferHeader {
    std::int64_t startingLcn;
    std::int64_t bitmapSize;
};
static_assert(sizeof(VolumeBitmapBufferHeader) == 16);
constexpr std::size_t kVolumeBitmapMinimumSize = 24;  // sizeof(VOLUME_BITMAP_BUFFER)

// STARTING_VCN_INPUT_BUFFER and RETRIEVAL_POINTERS_BUFFER (header, then extents). An extent
// maps the file's clusters from the previous nextVcn (the header's startingVcn for the first)
// up to its own nextVcn onto logical clusters from lcn on; lcn is -1 for a sparse hole.
struct StartingVcnInputBuffer {
    std::int64_t startingVcn;
};
static_assert(sizeof(StartingVcnInputBuffer) == 8);
struct RetrievalPointersHeader {
    std::uint32_t extentCount;
    std::uint32_t padding;
    std::int64_t startingVcn;
};
static_assert(sizeof(RetrievalPointersHeader) == 16);
struct RetrievalPointerExtent {
    std::int64_t nextVcn;
    std::int64_t lcn;
};
static_assert(sizeof(RetrievalPointerExtent) == 16);
constexpr std::size_t kRetrievalPointersMinimumSize = 32;

// Locking a volume around writes beneath its file system, sent to a handle of the volume
// itself ("\\.\C:", "\\?\Volume{...}") with no buffers:
// - kFsctlLockVolume: fails with kErrorAccessDenied while another handle of the volume has
//   files open (on the emulated host: another handle of the volume open for writing); once
//   locked, writes to the volume through any other handle fail with kErrorAccessDenied.
// - kFsctlDismountVolume: forces the file system off the volume; other handles of it become
//   invalid (their reads and writes fail; on the emulated host with kErrorNotReady), after
//   which a lock succeeds.
// - kFsctlUnlockVolume: releases the lock (closing the locking handle releases it too);
//   kErrorNotLocked when this handle holds none.
// - kFsctlAllowExtendedDasdIo: lets this handle read and write the whole partition beneath
//   the volume, beyond the file system's own end (where NTFS keeps its boot sector copy).
constexpr std::uint32_t kFsctlLockVolume = 0x00090018;
constexpr std::uint32_t kFsctlUnlockVolume = 0x0009001C;
constexpr std::uint32_t kFsctlDismountVolume = 0x00090020;
constexpr std::uint32_t kFsctlAllowExtendedDasdIo = 0x00090083;
static_assert(kFsctlAllowExtendedDasdIo == ctlCode(9, 32, 3, 0));
static_assert(kFsctlLockVolume == ctlCode(9, 6, 0, 0));
static_assert(kFsctlUnlockVolume == ctlCode(9, 7, 0, 0));
static_assert(kFsctlDismountVolume == ctlCode(9, 8, 0, 0));

// IOCTL_STORAGE_QUERY_PROPERTY with STORAGE_PROPERTY_QUERY as input. The agent asks only
// for StorageAccessAlignmentProperty (PropertyStandardQuery), whose reply is
// STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR: the logical sector (the unit of every transfer) and
// the physical sector (the alignment that spares the device a read-modify-write). Devices
// that do not know it fail with kErrorInvalidFunction or kErrorNotSupported; the geometry's
// sector size is then all there is. On the emulated host both sectors are 512 bytes.
constexpr std::uint32_t kIoctlStorageQueryProperty = 0x002D1400;
static_assert(kIoctlStorageQueryProperty == ctlCode(0x2D, 0x500, 0, 0));
constexpr std::uint32_t kStorageAccessAlignmentProperty = 6;
constexpr std::uint32_t kPropertyStandardQuery = 0;

struct StoragePropertyQuery {
    std::uint32_t propertyId;
    std::uint32_t queryType;
    std::uint8_t additionalParameters[4];  // one byte, padded as Windows pads it
};
static_assert(sizeof(StoragePropertyQuery) == 12);

struct StorageAccessAlignmentDescriptor {
    std::uint32_t version;
    std::uint32_t size;
    std::uint32_t bytesPerCacheLine;
    std::uint32_t bytesOffsetForCacheAlignment;
    std::uint32_t bytesPerLogicalSector;
    std::uint32_t bytesPerPhysicalSector;
    std::uint32_t bytesOffsetForSectorAlignment;
};
static_assert(sizeof(StorageAccessAlignmentDescriptor) == 28);

}  // namespace platform
