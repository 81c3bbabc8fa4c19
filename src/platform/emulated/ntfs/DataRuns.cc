#include "platform/emulated/ntfs/DataRuns.h"

#include <string>

#include "platform/ByteOrder.h"
#include "platform/emulated/ntfs/NtfsError.h"

namespace platform::emulated::ntfs {

namespace {

struct PairReader {
    std::span<const std::uint8_t> pairs;
    std::size_t position = 0;

    // A little-endian field of size bytes, sign-extended when asked.
    std::uint64_t field(std::size_t size, bool isSigned) {
        if (size > pairs.size() - position) {
            corrupt("data run crosses the end of its attribute");
        }
        std::uint64_t value = loadLittleEndian(pairs.data() + position, static_cast<int>(size));
        if (isSigned && size < 8 && (pairs[position + size - 1] & 0x80) != 0) {
            value |= ~std::uint64_t{0} << (8 * size);
        }
        position += size;
        return value;
    }
};

void checkRun(const Extent& run, std::uint64_t totalClusters) {
    if (run.lcn == kSparseLcn) {
        return;
    }
    auto lcn = static_cast<std::uint64_t>(run.lcn);
    if (run.lcn < 0 || lcn >= totalClusters || run.clusters > totalClusters - lcn) {
        corrupt("data run at LCN " + std::to_string(run.lcn) + " of " +
                std::to_string(run.clusters) + " clusters lies outside the volume of " +
                std::to_string(totalClusters) + " clusters");
    }
}

}  // namespace

void decodeDataRuns(std::span<const std::uint8_t> pairs, std::uint64_t firstVcn,
                    std::uint64_t lastVcn, std::uint64_t totalClusters, std::size_t maxRuns,
                    std::vector<Extent>& runs) {
    // An empty segment (no clusters) is stored with lastVcn = firstVcn - 1.
    std::uint64_t endVcn = lastVcn + 1;
    if (endVcn < firstVcn) {
        corrupt("attribute segment ends before it starts");
    }
    PairReader reader{pairs};
    std::uint64_t vcn = firstVcn;
    std::int64_t lcn = 0;
    while (true) {
        if (reader.position >= pairs.size()) {
            corrupt("data run list has no end marker");
        }
        std::uint8_t header = pairs[reader.position++];
        if (header == 0) {
            break;
        }
        std::size_t lengthSize = header & 0x0F;
        std::size_t offsetSize = header >> 4;
        if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8) {
            corrupt("data run with a malformed header byte");
        }
        std::uint64_t length = reader.field(lengthSize, false);
        if (length == 0 || length > endVcn - vcn) {
            corrupt("data run of " + std::to_string(length) + " clusters runs past VCN " +
                    std::to_string(lastVcn));
        }
        Extent run{vcn, kSparseLcn, length};
        if (offsetSize != 0) {
            auto delta = static_cast<std::int64_t>(reader.field(offsetSize, true));
            if (__builtin_add_overflow(lcn, delta, &lcn)) {
                corrupt("data run LCN overflows");
            }
            run.lcn = lcn;
        }
        checkRun(run, totalClusters);
        if (runs.size() >= maxRuns) {
            corrupt("more than " + std::to_string(maxRuns) + " data runs");
        }
        runs.push_back(run);
        vcn += length;
    }
    if (vcn != endVcn) {
        corrupt("data runs end at VCN " + std::to_string(vcn) + " instead of " +
                std::to_string(endVcn));
    }
}

}  // namespace platform::emulated::ntfs
