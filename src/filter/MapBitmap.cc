#include "filter/MapBitmap.h"

#include <algorithm>

namespace filter {

void MapBitmap::setRange(std::uint64_t first, std::uint64_t count) {
    if (count == 0)
        return;
    // Work with the exclusive end; a run that would pass the last block number ends there.
    std::uint64_t end = count > kNoBlock - first ? kNoBlock : first + count;
    // The first run that could touch [first, end): the one starting at or before first.
    auto it = runs_.upper_bound(first);
    if (it != runs_.begin()) {
        auto previous = std::prev(it);
        if (previous->first + previous->second >= first)
            it = previous;
    }
    // Swallow every run that starts at or before end.
    while (it != runs_.end() && it->first <= end) {
        first = std::min(first, it->first);
        end = std::max(end, it->first + it->second);
        it = runs_.erase(it);
    }
    runs_.emplace(first, end - first);
}

void MapBitmap::merge(const MapBitmap& other) {
    for (const auto& [first, count] : other.runs_)
        setRange(first, count);
}

bool MapBitmap::next(std::uint64_t& block) const {
    if (block == kNoBlock)
        return false;
    ++block;
    auto it = runs_.upper_bound(block);
    if (it != runs_.begin()) {
        auto previous = std::prev(it);
        if (block < previous->first + previous->second)
            return true;
    }
    if (it == runs_.end()) {
        block = kNoBlock;
        return false;
    }
    block = it->first;
    return true;
}

bool MapBitmap::first(std::uint64_t& block) const {
    if (runs_.empty()) {
        block = kNoBlock;
        return false;
    }
    block = runs_.begin()->first;
    return true;
}

bool MapBitmap::contains(std::uint64_t block) const {
    auto it = runs_.upper_bound(block);
    if (it == runs_.begin())
        return false;
    --it;
    return block < it->first + it->second;
}

std::uint64_t MapBitmap::blockCount() const {
    std::uint64_t total = 0;
    for (const auto& run : runs_)
        total += run.second;
    return total;
}

}  // namespace filter
