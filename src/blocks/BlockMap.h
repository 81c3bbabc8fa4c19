// One bit per volume block (cluster): bit i is bit (i mod 8) of byte i / 8, least
// significant bit first. The map has a fixed capacity (the volume's block count); the
// allocation bitmap is appended to it in byte-aligned pieces, and single bits can be set
// and cleared anywhere below the capacity. Bits that were never set read as 0. Not
// thread-safe.
#pragma once

#include <cstdint>
#include <vector>

namespace blocks {

class BlockMap {
  public:
    explicit BlockMap(std::uint64_t capacity);
    virtual ~BlockMap() = default;
    BlockMap(const BlockMap&) = default;
    BlockMap& operator=(const BlockMap&) = default;

    // Throws runtime::AgentException when i is not below the capacity.
    bool bit(std::uint64_t i) const;
    void setBit(std::uint64_t i);
    void clearBit(std::uint64_t i);

    // Copies (n + 7) / 8 bytes from src at byte size() / 8 and adds n to size(). The map
    // must be byte-aligned (size() a multiple of 8) and have room for n more bits; throws
    // runtime::AgentException otherwise. Bits of the last byte beyond the new size are
    // cleared, so they never read as set.
    void appendBits(const unsigned char* src, std::uint64_t n);

    // Bits appended so far.
    std::uint64_t size() const { return size_; }
    std::uint64_t capacity() const { return capacity_; }
    // (capacity + 7) / 8: the bytes that travel when the map is sent.
    std::uint64_t byteCount() const { return bits_.size(); }
    const unsigned char* bytes() const { return bits_.data(); }

  protected:
    // The 64 bits of word w (bits 64w to 64w + 63); bits beyond the capacity read as 0.
    std::uint64_t word(std::uint64_t w) const;
    void checkRange(std::uint64_t i) const;

  private:
    std::uint64_t size_ = 0;
    std::uint64_t capacity_;
    std::vector<unsigned char> bits_;
};

}  // namespace blocks
