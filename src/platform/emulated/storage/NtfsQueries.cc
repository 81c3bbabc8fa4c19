#include "platform/emulated/storage/NtfsQueries.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/emulated/ntfs/Volume.h"
#include "platform/emulated/storage/DeviceCommon.h"

namespace platform::emulated {
namespace {

ntfs::Result<ntfs::Volume> openNtfs(VolumeByteSource& source) {
    VolumeByteSource* bytes = &source;
    return ntfs::Volume::open(
        [bytes](std::uint64_t offset, void* buffer, std::size_t length) {
            return bytes->read(offset, buffer, length);
        },
        source.size());
}

bool failWith(const ntfs::Error& error) {
    return fail(error.code);
}

// Copies byteCount bytes of $Bitmap from firstByte into out, in bounded pieces.
bool copyBitmap(const ntfs::Volume& volume, std::uint64_t firstByte, std::size_t byteCount,
                std::uint8_t* out) {
    std::size_t done = 0;
    while (done < byteCount) {
        std::size_t piece = std::min(byteCount - done, ntfs::Volume::kMaxBitmapRead);
        auto bytes = volume.readBitmap(firstByte + done, piece);
        if (!bytes)
            return failWith(bytes.error());
        if (bytes.value().size() != piece)
            return fail(kErrorIoDevice);
        std::memcpy(out + done, bytes.value().data(), piece);
        done += piece;
    }
    return true;
}

// The index of the extent that holds vcn, or extents.size() when none does.
std::size_t extentHolding(const std::vector<ntfs::Extent>& extents, std::uint64_t vcn) {
    for (std::size_t i = 0; i < extents.size(); ++i) {
        if (vcn >= extents[i].vcn && vcn - extents[i].vcn < extents[i].clusters)
            return i;
    }
    return extents.size();
}

std::wstring ntfsPath(const std::wstring& path) {
    std::wstring result = path;
    std::replace(result.begin(), result.end(), L'/', L'\\');
    if (result.empty() || result.front() != L'\\')
        result.insert(result.begin(), L'\\');
    return result;
}

}  // namespace

bool answerNtfsVolumeData(VolumeByteSource& source, void* out, std::uint32_t outSize,
                          std::uint32_t* bytesReturned) {
    if (out == nullptr || outSize < sizeof(NtfsVolumeDataBuffer)) {
        return fail(kErrorInsufficientBuffer);
    }
    auto volume = openNtfs(source);
    if (!volume)
        return failWith(volume.error());
    auto data = volume.value().volumeData();
    if (!data)
        return failWith(data.error());
    auto encoded = ntfs::encodeVolumeDataBuffer(data.value());
    static_assert(encoded.size() == sizeof(NtfsVolumeDataBuffer));
    std::memcpy(out, encoded.data(), encoded.size());
    *bytesReturned = static_cast<std::uint32_t>(encoded.size());
    return true;
}

bool answerVolumeBitmap(VolumeByteSource& source, const void* in, std::uint32_t inSize, void* out,
                        std::uint32_t outSize, std::uint32_t* bytesReturned) {
    StartingLcnInputBuffer input{};
    if (!inputOf(in, inSize, input))
        return false;
    if (out == nullptr || outSize < kVolumeBitmapMinimumSize) {
        return fail(kErrorInsufficientBuffer);
    }
    auto volume = openNtfs(source);
    if (!volume)
        return failWith(volume.error());
    std::uint64_t total = volume.value().geometry().totalClusters;
    if (input.startingLcn < 0 || static_cast<std::uint64_t>(input.startingLcn) >= total) {
        return fail(kErrorInvalidParameter);
    }
    // Windows starts the reply at the byte that holds the requested cluster.
    std::uint64_t start = static_cast<std::uint64_t>(input.startingLcn) & ~std::uint64_t{7};
    VolumeBitmapBufferHeader header{static_cast<std::int64_t>(start),
                                    static_cast<std::int64_t>(total - start)};
    std::uint64_t needed = (total - start + 7) / 8;
    std::uint64_t room = outSize - sizeof(header);
    std::size_t count = static_cast<std::size_t>(std::min(needed, room));
    auto* bytes = static_cast<std::uint8_t*>(out);
    if (!copyBitmap(volume.value(), start / 8, count, bytes + sizeof(header)))
        return false;
    std::memcpy(bytes, &header, sizeof(header));
    *bytesReturned = static_cast<std::uint32_t>(sizeof(header) + count);
    if (count < needed)
        return fail(kErrorMoreData);
    return true;
}

bool answerRetrievalPointers(VolumeByteSource& source, const std::wstring& path, const void* in,
                             std::uint32_t inSize, void* out, std::uint32_t outSize,
                             std::uint32_t* bytesReturned) {
    StartingVcnInputBuffer input{};
    if (!inputOf(in, inSize, input))
        return false;
    if (input.startingVcn < 0)
        return fail(kErrorInvalidParameter);
    if (out == nullptr || outSize < kRetrievalPointersMinimumSize) {
        return fail(kErrorInsufficientBuffer);
    }
    auto volume = openNtfs(source);
    if (!volume)
        return failWith(volume.error());
    auto extents = volume.value().fileExtents(ntfsPath(path));
    if (!extents)
        return failWith(extents.error());
    const auto& list = extents.value();
    auto vcn = static_cast<std::uint64_t>(input.startingVcn);
    std::size_t first = extentHolding(list, vcn);
    if (first == list.size())
        return fail(kErrorHandleEof);
    std::size_t room = (outSize - sizeof(RetrievalPointersHeader)) / sizeof(RetrievalPointerExtent);
    std::size_t count = std::min(room, list.size() - first);
    auto* bytes = static_cast<std::uint8_t*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        const ntfs::Extent& extent = list[first + i];
        RetrievalPointerExtent reply{static_cast<std::int64_t>(extent.vcn + extent.clusters),
                                     extent.lcn};
        // The first extent starts at the requested cluster of the file.
        if (i == 0 && extent.lcn != ntfs::kSparseLcn) {
            reply.lcn += static_cast<std::int64_t>(vcn - extent.vcn);
        }
        std::memcpy(bytes + sizeof(RetrievalPointersHeader) + i * sizeof(reply), &reply,
                    sizeof(reply));
    }
    RetrievalPointersHeader header{static_cast<std::uint32_t>(count), 0, input.startingVcn};
    std::memcpy(bytes, &header, sizeof(header));
    *bytesReturned =
        static_cast<std::uint32_t>(sizeof(header) + count * sizeof(RetrievalPointerExtent));
    if (count < list.size() - first)
        return fail(kErrorMoreData);
    return true;
}

bool ntfsFileExists(VolumeByteSource& source, const std::wstring& path) {
    auto volume = openNtfs(source);
    if (!volume)
        return failWith(volume.error());
    auto exists = volume.value().exists(ntfsPath(path));
    if (!exists)
        return failWith(exists.error());
    if (!exists.value())
        return fail(kErrorFileNotFound);
    return true;
}

std::uint32_t ntfsClusterSize(VolumeByteSource& source) {
    auto volume = openNtfs(source);
    return volume ? volume.value().geometry().bytesPerCluster : 0;
}

}  // namespace platform::emulated
