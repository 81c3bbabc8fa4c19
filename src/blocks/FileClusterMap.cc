#include "blocks/FileClusterMap.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/FileAccess.h"
#include "platform/System.h"

namespace blocks {
namespace {

constexpr std::uint32_t kFirstReplyBytes = 4096;
// No file has this many extents; a device that keeps asking for more is not believed.
constexpr std::uint32_t kLargestReplyBytes = 64u << 20;

}  // namespace

bool FileClusterMap::load(const std::wstring& path) {
    try {
        std::wstring full = root_ + (path.empty() || path.front() != L'\\' ? L"\\" : L"") + path;
        platform::FileHandle file =
            platform::createFile(full, platform::kFileReadAttributes, platform::kFileShareRead,
                                 platform::kOpenExisting, 0);
        return file && loadFrom(file);
    } catch (const std::exception&) {
        return false;  // out of memory while building the path or the runs
    }
}

bool FileClusterMap::loadFrom(platform::FileHandle& file) {
    platform::StartingVcnInputBuffer input{0};
    for (std::uint32_t size = kFirstReplyBytes; size <= kLargestReplyBytes; size *= 2) {
        std::vector<unsigned char> reply(size);
        std::uint32_t returned = 0;
        if (platform::deviceIoControl(file, platform::kFsctlGetRetrievalPointers, &input,
                                      sizeof input, reply.data(), size, &returned)) {
            return addExtents(reply.data(), std::min(returned, size));
        }
        if (platform::getLastError() != platform::kErrorMoreData)
            return false;
    }
    return false;
}

bool FileClusterMap::addExtents(const unsigned char* reply, std::uint32_t replyBytes) {
    platform::RetrievalPointersHeader header;
    if (replyBytes < sizeof header)
        return false;
    std::memcpy(&header, reply, sizeof header);
    if (header.startingVcn < 0 ||
        header.extentCount >
            (replyBytes - sizeof header) / sizeof(platform::RetrievalPointerExtent)) {
        return false;
    }
    std::int64_t vcn = header.startingVcn;
    for (std::uint32_t e = 0; e < header.extentCount; ++e) {
        platform::RetrievalPointerExtent extent;
        std::memcpy(&extent, reply + sizeof header + e * sizeof extent, sizeof extent);
        if (extent.nextVcn <= vcn)
            return false;
        // A hole of a sparse file (lcn -1) occupies no clusters.
        if (extent.lcn >= 0)
            runs_[extent.lcn] = extent.nextVcn - vcn;
        vcn = extent.nextVcn;
    }
    return true;
}

void FileClusterMap::clearClustersIn(BlockMap& map) const {
    for (const auto& [lcn, count] : runs_) {
        std::uint64_t first = static_cast<std::uint64_t>(lcn);
        if (first >= map.capacity())
            continue;
        std::uint64_t end =
            first + std::min(static_cast<std::uint64_t>(count), map.capacity() - first);
        for (std::uint64_t cluster = first; cluster < end; ++cluster)
            map.clearBit(cluster);
    }
}

}  // namespace blocks
