// The contents of one attribute of a file, assembled from all its segments: a resident value
// or a run list with its sizes, and reading byte ranges of it from the volume.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/emulated/ntfs/FileRecord.h"
#include "platform/emulated/ntfs/Volume.h"
#include "platform/emulated/ntfs/VolumeReader.h"

namespace platform::emulated::ntfs {

// A cap on the runs of one stream (24 bytes each), far above any real file's fragmentation.
constexpr std::size_t kMaxRunsPerStream = 1 << 20;

struct Stream {
    bool resident = false;
    std::vector<std::uint8_t> value;  // resident only
    std::vector<Extent> runs;         // non-resident only, in VCN order from VCN 0
    std::uint16_t flags = 0;
    std::uint64_t allocatedSize = 0;
    std::uint64_t dataSize = 0;
    std::uint64_t initializedSize = 0;
};

// Joins an attribute's segments, given in order, into one Stream, checking that they continue
// each other without gaps or overlaps.
class StreamBuilder {
  public:
    StreamBuilder(std::uint64_t totalClusters, std::string what)
        : totalClusters_(totalClusters), what_(std::move(what)) {}
    void add(const Attribute& segment);
    // Null when no segment was added.
    std::optional<Stream> finish();

  private:
    void addFirst(const Attribute& segment);

    std::uint64_t totalClusters_;
    std::string what_;
    std::optional<Stream> stream_;
    std::uint64_t nextVcn_ = 0;
};

// Reads buffer.size() bytes of the stream at offset. Bytes past the initialised length read
// as zeros, as do sparse runs. Compressed and encrypted streams cannot be read (the reader
// only needs the metadata files, which are neither).
void readStream(const VolumeReader& reader, std::uint32_t clusterShift, const Stream& stream,
                std::uint64_t offset, std::span<std::uint8_t> buffer, const std::string& what);

}  // namespace platform::emulated::ntfs
