// Reads the NTFS structures inside a volume's bytes, so that the emulated volume device can
// answer FSCTL_GET_NTFS_VOLUME_DATA, FSCTL_GET_VOLUME_BITMAP and FSCTL_GET_RETRIEVAL_POINTERS
// as Windows would. Read-only; the bytes come from a callback, so the same reader serves a
// volume on a disk image, a snapshot view or a test buffer.
//
// Thread safety: a Volume's const methods may be called from several threads at once,
// provided the read callback may be too.
//
// Errors: every call returns a Result (Result.h lists the error numbers). Nothing is read
// outside [0, volumeLength); every allocation is bounded by the volume or by a fixed limit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/emulated/ntfs/Result.h"

namespace platform::emulated::ntfs {

// Reads length bytes at a volume-relative byte offset into buffer; false when they cannot be
// read. Never called with a range outside the volume length given to Volume::open.
using ReadFunction = std::function<bool(std::uint64_t offset, void* buffer, std::size_t length)>;

// The fields of NTFS_VOLUME_DATA_BUFFER, in its order.
//
// Approximated: Windows fills TotalReserved, MftZoneStart and MftZoneEnd from the driver's
// in-memory state, which the bytes of a volume do not hold. Here TotalReserved is 0 (no
// clusters are held back for pending allocations on an unmounted volume), MftZoneStart is
// the cluster after the MFT's first extent and MftZoneEnd lies an eighth of the volume beyond
// it (the default zone size), both capped at TotalClusters. The agent reads neither.
struct VolumeData {
    std::uint64_t volumeSerialNumber = 0;
    std::uint64_t numberSectors = 0;  // total sectors of the file system, from the boot sector
    std::uint64_t totalClusters = 0;  // numberSectors / sectors per cluster
    std::uint64_t freeClusters = 0;   // clear bits of $Bitmap among the first totalClusters
    std::uint64_t totalReserved = 0;
    std::uint32_t bytesPerSector = 0;
    std::uint32_t bytesPerCluster = 0;
    std::uint32_t bytesPerFileRecordSegment = 0;
    std::uint32_t clustersPerFileRecordSegment = 0;  // 0 when a record is smaller than a cluster
    std::uint64_t mftValidDataLength = 0;            // initialised length of $MFT's data
    std::uint64_t mftStartLcn = 0;
    std::uint64_t mft2StartLcn = 0;
    std::uint64_t mftZoneStart = 0;
    std::uint64_t mftZoneEnd = 0;
};

// NTFS_VOLUME_DATA_BUFFER as Windows lays it out: 96 bytes, little-endian.
constexpr std::size_t kVolumeDataBufferSize = 96;
std::array<std::uint8_t, kVolumeDataBufferSize> encodeVolumeDataBuffer(const VolumeData& data);

constexpr std::int64_t kSparseLcn = -1;

// One run of a file's data: clusters [vcn, vcn + clusters) of the file lie at logical
// clusters [lcn, lcn + clusters) of the volume, or nowhere (lcn == kSparseLcn) for a hole.
struct Extent {
    std::uint64_t vcn = 0;
    std::int64_t lcn = kSparseLcn;
    std::uint64_t clusters = 0;
    bool operator==(const Extent&) const = default;
};

class Volume {
  public:
    // Reads and checks the boot sector, $MFT's record and $Bitmap's record (a few KiB).
    // kErrorInvalidFunction when the volume holds no NTFS; kErrorUnrecognizedVolume or
    // kErrorFileCorrupt when it is damaged.
    static Result<Volume> open(ReadFunction read, std::uint64_t volumeLengthBytes);

    // A moved-from Volume may only be destroyed or assigned to.
    Volume(Volume&&) noexcept;
    Volume& operator=(Volume&&) noexcept;
    ~Volume();

    // Geometry only (boot sector and $MFT); freeClusters is 0 here. Cheap.
    const VolumeData& geometry() const;
    // The whole NTFS_VOLUME_DATA_BUFFER, counting free clusters by reading all of $Bitmap
    // (in bounded pieces).
    Result<VolumeData> volumeData() const;

    // byteCount bytes of $Bitmap starting at byte firstByte (bit i of a byte is cluster
    // 8 * byte + i), copied as they are on disk. The range must lie within the
    // ceil(totalClusters / 8) bytes that cover the volume, else kErrorInvalidParameter.
    // byteCount is at most kMaxBitmapRead.
    static constexpr std::size_t kMaxBitmapRead = 1 << 20;
    Result<std::vector<std::uint8_t>> readBitmap(std::uint64_t firstByte,
                                                 std::size_t byteCount) const;

    // The runs of the unnamed $DATA stream of the file at path ("\pagefile.sys",
    // "\dir\file.bin"; backslash-separated from the root, names compared case-insensitively
    // through the volume's $UpCase table), in VCN order, one Extent per mapping pair. For a
    // directory the runs of its index allocation ($I30). kErrorHandleEof when the data is
    // resident or empty (no clusters), as Windows answers FSCTL_GET_RETRIEVAL_POINTERS.
    Result<std::vector<Extent>> fileExtents(const std::wstring& path) const;

    // Whether path names an existing file or directory ("\" is the root). Missing files and
    // directories give false; damaged structures on the way give an Error.
    Result<bool> exists(const std::wstring& path) const;

  private:
    struct State;
    explicit Volume(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace platform::emulated::ntfs
