#include "blocks/BlockMap.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "runtime/Exceptions.h"

namespace blocks {

BlockMap::BlockMap(std::uint64_t capacity)
    : capacity_(capacity), bits_(capacity / 8 + (capacity % 8 != 0)) {}

void BlockMap::checkRange(std::uint64_t i) const {
    if (i >= capacity_) {
        ZENTRAD_THROW(runtime::AgentException, "Bit number out of range of bitmap (" +
                                                   std::to_string(i) + "/" +
                                                   std::to_string(capacity_) + ")");
    }
}

bool BlockMap::bit(std::uint64_t i) const {
    checkRange(i);
    return (bits_[i / 8] >> (i % 8)) & 1;
}

void BlockMap::setBit(std::uint64_t i) {
    checkRange(i);
    bits_[i / 8] = static_cast<unsigned char>(bits_[i / 8] | (1u << (i % 8)));
}

void BlockMap::clearBit(std::uint64_t i) {
    checkRange(i);
    bits_[i / 8] = static_cast<unsigned char>(bits_[i / 8] & ~(1u << (i % 8)));
}

void BlockMap::appendBits(const unsigned char* src, std::uint64_t n) {
    if (size_ % 8 != 0) {
        ZENTRAD_THROW(runtime::AgentException, "Appending bits to a blockmap that is unaligned");
    }
    if (n > capacity_ - size_) {
        ZENTRAD_THROW(runtime::AgentException, "Appending (" + std::to_string(n) + ") to (" +
                                                   std::to_string(size_) +
                                                   ") bits would surpass capacity of bitmap (" +
                                                   std::to_string(capacity_) + ")");
    }
    std::uint64_t bytes = n / 8 + (n % 8 != 0);
    if (bytes != 0)
        std::memcpy(bits_.data() + size_ / 8, src, bytes);
    size_ += n;
    if (n % 8 != 0) {
        // The spare high bits lie beyond the size: keep them clear, as unset bits read.
        bits_[(size_ - 1) / 8] &= static_cast<unsigned char>((1u << (size_ % 8)) - 1);
    }
}

std::uint64_t BlockMap::word(std::uint64_t w) const {
    std::uint64_t first = w * 8;
    if (first >= bits_.size())
        return 0;
    std::uint64_t count = std::min<std::uint64_t>(8, bits_.size() - first);
    std::uint64_t value = 0;
    for (std::uint64_t b = 0; b < count; ++b)
        value |= static_cast<std::uint64_t>(bits_[first + b]) << (8 * b);
    return value;
}

}  // namespace blocks
