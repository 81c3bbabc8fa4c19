// fuzz-libs: filter
// Arbitrary bytes as either of the agent's change-tracking files (the tracking state kept
// across restarts, a backed-up used-block map). A file that decodes must encode back to
// exactly its bytes (a change set merges touching runs, so only canonical files decode
// back whole; every decoded file must at least decode again to the same value).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "filter/SavedState.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1u << 20)
        return 0;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (auto volumes = filter::decodeSavedVolumes(bytes)) {
        auto again = filter::decodeSavedVolumes(filter::encodeSavedVolumes(*volumes));
        if (!again || again->size() != volumes->size())
            std::abort();
        for (std::size_t i = 0; i < volumes->size(); ++i) {
            if ((*again)[i].journalKey != (*volumes)[i].journalKey ||
                (*again)[i].changes.runs() != (*volumes)[i].changes.runs() ||
                (*again)[i].volumeNumber != (*volumes)[i].volumeNumber) {
                std::abort();
            }
        }
    }
    if (auto map = filter::decodeBackedUpMap(bytes)) {
        if (filter::encodeBackedUpMap(*map) != bytes ||
            map->bits.size() != (map->blockCount + 7) / 8)
            std::abort();
    }
    return 0;
}
