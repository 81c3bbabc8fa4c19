// Mapping pairs: the compressed run list of a non-resident attribute. Each pair is a header
// byte (low nibble: size of the length field, high nibble: size of the offset field), the
// run's length in clusters and its LCN as a signed delta from the previous run's LCN; no
// offset field marks a sparse run; a zero header byte ends the list.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/emulated/ntfs/Volume.h"

namespace platform::emulated::ntfs {

// Decodes the runs of one attribute segment covering VCNs [firstVcn, lastVcn]; they must cover
// it exactly and lie inside the volume's totalClusters. Appends to runs, refusing to grow it
// past maxRuns.
void decodeDataRuns(std::span<const std::uint8_t> pairs, std::uint64_t firstVcn,
                    std::uint64_t lastVcn, std::uint64_t totalClusters, std::size_t maxRuns,
                    std::vector<Extent>& runs);

}  // namespace platform::emulated::ntfs
