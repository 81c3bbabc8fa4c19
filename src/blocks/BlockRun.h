// Consecutive clusters read with one device request: a volume read cluster by cluster
// costs a request per 4 KiB, while the blocks on the wire stay one cluster each. Every
// block of a run shares the run's buffer until a transformation replaces its data.
#pragma once

#include <cstdint>
#include <vector>

#include "blocks/BlockChannel.h"
#include "platform/File.h"

namespace blocks {

// The most bytes one run read asks for.
constexpr std::uint64_t kRunBytes = std::uint64_t{1} << 20;

// Appends blocks first .. first + count - 1, loaded and with their digests, to out. When
// the run read fails or comes back short, each block of the run is loaded on its own
// (Block::load, with its retries and its rule for a block that keeps failing). Throws
// runtime::DiskException as Block::load does; count * size must not exceed kRunBytes.
void loadBlockRun(platform::FileHandle& volume, std::uint64_t first, std::uint64_t count,
                  std::uint64_t size, std::vector<BlockPtr>& out);

}  // namespace blocks
