// The changed blocks of a volume as merged runs: first block -> length in blocks. Runs
// never overlap or touch, so a long sequential write costs one entry. Block numbers are
// cluster numbers of the volume.
#pragma once

#include <cstdint>
#include <limits>
#include <map>

namespace filter {

class MapBitmap {
  public:
    static constexpr std::uint64_t kNoBlock = std::numeric_limits<std::uint64_t>::max();

    MapBitmap() = default;
    virtual ~MapBitmap() = default;
    MapBitmap(const MapBitmap&) = default;
    MapBitmap& operator=(const MapBitmap&) = default;

    // Adds blocks first .. first + count - 1, merging with every run it overlaps or
    // touches. A run reaching past the largest block number is cut there.
    void setRange(std::uint64_t first, std::uint64_t count);
    // Adds every run of other.
    void merge(const MapBitmap& other);

    // Advances block by one and then to the first changed block at or after it: true, or
    // false with block set to kNoBlock when there is none.
    bool next(std::uint64_t& block) const;
    // The first changed block: true, or false with block set to kNoBlock when empty.
    bool first(std::uint64_t& block) const;

    bool contains(std::uint64_t block) const;
    bool empty() const { return runs_.empty(); }
    // Number of changed blocks.
    std::uint64_t blockCount() const;
    const std::map<std::uint64_t, std::uint64_t>& runs() const { return runs_; }

  private:
    std::map<std::uint64_t, std::uint64_t> runs_;
};

}  // namespace filter
