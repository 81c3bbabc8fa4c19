// A BlockMap filled in strictly ascending order that keeps, for every 64-bit word, the
// number of set bits in the words before it, so the rank of a bit (its position among the
// set bits) costs one table look-up and one population count. It records which blocks the
// server holds a digest for; the rank of a block is its record number in the digest file.
// Not thread-safe.
#pragma once

#include <cstdint>
#include <vector>

#include "blocks/BlockMap.h"

namespace blocks {

class IndexedBlockMap : public BlockMap {
  public:
    explicit IndexedBlockMap(std::uint64_t capacity);

    // Sets bit i and maintains the index. Throws runtime::AgentException when i is not
    // below the capacity or not above the last bit set: out-of-order bits would corrupt
    // every later rank.
    void sequentiallySetBit(std::uint64_t i);

    // The number of set bits below i. Asking for a clear bit logs an ERROR line and still
    // answers the count. Throws runtime::AgentException when i is not below the capacity.
    std::uint64_t getUsedBlockIndex(std::uint64_t i) const;

    // Number of bits set so far.
    std::uint64_t setCount() const { return setBefore_ + setInCurrent_; }

  private:
    // wordIndex_[w] for every w up to currentWord_ holds the set bits before word w.
    std::vector<std::uint64_t> wordIndex_;
    std::uint64_t currentWord_ = 0;
    std::uint64_t setBefore_ = 0;
    std::uint64_t setInCurrent_ = 0;
    bool anySet_ = false;
    std::uint64_t lastSet_ = 0;
};

}  // namespace blocks
