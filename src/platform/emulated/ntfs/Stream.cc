#include "platform/emulated/ntfs/Stream.h"

#include <algorithm>
#include <cstring>

#include "platform/emulated/ntfs/DataRuns.h"
#include "platform/emulated/ntfs/NtfsError.h"

namespace platform::emulated::ntfs {

namespace {

constexpr std::uint16_t kCompressedMask = 0x00FF;
constexpr std::uint16_t kEncrypted = 0x4000;

// The run holding vcn, or null when the runs end before it.
const Extent* runAt(const std::vector<Extent>& runs, std::uint64_t vcn) {
    auto after = std::upper_bound(runs.begin(), runs.end(), vcn,
                                  [](std::uint64_t v, const Extent& run) { return v < run.vcn; });
    if (after == runs.begin()) {
        return nullptr;
    }
    const Extent& run = *(after - 1);
    return vcn - run.vcn < run.clusters ? &run : nullptr;
}

// How many of wanted bytes at offset lie in run (which holds offset's cluster).
std::size_t pieceInRun(const Extent& run, std::uint32_t clusterShift, std::uint64_t offset,
                       std::size_t wanted) {
    std::uint64_t clustersLeft = run.vcn + run.clusters - (offset >> clusterShift);
    std::uint64_t intoCluster = offset & ((std::uint64_t{1} << clusterShift) - 1);
    if (clustersLeft > (wanted >> clusterShift) + 1) {
        return wanted;
    }
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(wanted, (clustersLeft << clusterShift) - intoCluster));
}

}  // namespace

void StreamBuilder::add(const Attribute& segment) {
    if (!stream_) {
        addFirst(segment);
        return;
    }
    if (stream_->resident || !segment.nonResident) {
        corrupt(what_ + ": a resident attribute in several segments");
    }
    if (segment.lowestVcn != nextVcn_) {
        corrupt(what_ + ": segment starts at VCN " + std::to_string(segment.lowestVcn) +
                " instead of " + std::to_string(nextVcn_));
    }
    decodeDataRuns(segment.mappingPairs, segment.lowestVcn, segment.highestVcn, totalClusters_,
                   kMaxRunsPerStream, stream_->runs);
    nextVcn_ = segment.highestVcn + 1;
}

void StreamBuilder::addFirst(const Attribute& segment) {
    Stream stream;
    stream.flags = segment.flags;
    if (!segment.nonResident) {
        stream.resident = true;
        stream.value.assign(segment.value.begin(), segment.value.end());
        stream.allocatedSize = stream.dataSize = stream.initializedSize = segment.value.size();
        stream_ = std::move(stream);
        return;
    }
    if (segment.lowestVcn != 0) {
        corrupt(what_ + ": first segment starts at VCN " + std::to_string(segment.lowestVcn));
    }
    if (segment.initializedSize > segment.dataSize || segment.dataSize > segment.allocatedSize) {
        corrupt(what_ + ": inconsistent sizes");
    }
    stream.allocatedSize = segment.allocatedSize;
    stream.dataSize = segment.dataSize;
    stream.initializedSize = segment.initializedSize;
    decodeDataRuns(segment.mappingPairs, 0, segment.highestVcn, totalClusters_, kMaxRunsPerStream,
                   stream.runs);
    nextVcn_ = segment.highestVcn + 1;
    stream_ = std::move(stream);
}

std::optional<Stream> StreamBuilder::finish() {
    return std::move(stream_);
}

void readStream(const VolumeReader& reader, std::uint32_t clusterShift, const Stream& stream,
                std::uint64_t offset, std::span<std::uint8_t> buffer, const std::string& what) {
    if (offset > stream.dataSize || buffer.size() > stream.dataSize - offset) {
        corrupt(what + ": read past the end of the data");
    }
    if (stream.resident) {
        std::memcpy(buffer.data(), stream.value.data() + offset, buffer.size());
        return;
    }
    if ((stream.flags & (kCompressedMask | kEncrypted)) != 0) {
        corrupt(what + ": compressed or encrypted");
    }
    while (!buffer.empty()) {
        const Extent* run = runAt(stream.runs, offset >> clusterShift);
        if (run == nullptr) {
            corrupt(what + ": no data run for byte " + std::to_string(offset));
        }
        std::size_t piece = pieceInRun(*run, clusterShift, offset, buffer.size());
        std::uint64_t initialized =
            offset < stream.initializedSize ? stream.initializedSize - offset : 0;
        std::size_t fromDisk =
            run->lcn == kSparseLcn
                ? 0
                : static_cast<std::size_t>(std::min<std::uint64_t>(piece, initialized));
        // Inside the run, so below the volume's length: no overflow.
        std::uint64_t position = (static_cast<std::uint64_t>(run->lcn) << clusterShift) +
                                 (offset - (run->vcn << clusterShift));
        reader.read(position, buffer.first(fromDisk));
        std::memset(buffer.data() + fromDisk, 0, piece - fromDisk);
        buffer = buffer.subspan(piece);
        offset += piece;
    }
}

}  // namespace platform::emulated::ntfs
