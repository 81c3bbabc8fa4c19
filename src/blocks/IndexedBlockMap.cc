#include "blocks/IndexedBlockMap.h"

#include <bit>
#include <string>

#include "logging/Logger.h"
#include "runtime/Exceptions.h"

namespace blocks {

IndexedBlockMap::IndexedBlockMap(std::uint64_t capacity)
    : BlockMap(capacity), wordIndex_(capacity / 64 + (capacity % 64 != 0)) {}

void IndexedBlockMap::sequentiallySetBit(std::uint64_t i) {
    if (i >= capacity()) {
        ZENTRAD_THROW(runtime::AgentException, "Setting bit (" + std::to_string(i) +
                                                   " would surpass capacity of bitmap (" +
                                                   std::to_string(capacity()) + ")");
    }
    if (anySet_ && i <= lastSet_) {
        ZENTRAD_THROW(runtime::AgentException, "Setting bit (" + std::to_string(i) +
                                                   ") out of order after bit (" +
                                                   std::to_string(lastSet_) + ")");
    }
    std::uint64_t w = i / 64;
    if (w != currentWord_) {
        setBefore_ += setInCurrent_;
        setInCurrent_ = 0;
        // Words skipped on the way hold no set bits; their rank base is the same.
        for (std::uint64_t skipped = currentWord_ + 1; skipped <= w; ++skipped)
            wordIndex_[skipped] = setBefore_;
        currentWord_ = w;
    }
    ++setInCurrent_;
    setBit(i);
    anySet_ = true;
    lastSet_ = i;
}

std::uint64_t IndexedBlockMap::getUsedBlockIndex(std::uint64_t i) const {
    checkRange(i);
    std::uint64_t w = i / 64;
    // Words beyond the last one written have no set bits: all set bits lie below them.
    std::uint64_t rank = w > currentWord_ ? setCount() : wordIndex_[w];
    std::uint64_t below = word(w) & ((std::uint64_t{1} << (i % 64)) - 1);
    rank += static_cast<std::uint64_t>(std::popcount(below));
    if (!bit(i)) {
        logging::logError() << "requested used block index for a block that is not set! (block #"
                            << i << ")";
    }
    return rank;
}

}  // namespace blocks
