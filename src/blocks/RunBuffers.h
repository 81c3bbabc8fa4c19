// The buffers of run reads, handed back when the last block aliasing one is gone, so the
// next read fills memory already mapped instead of a fresh allocation of a megabyte (a page
// fault per 4 KiB on every read, and the heap grown and trimmed again and again).
#pragma once

#include <cstdint>

#include "blocks/Block.h"

namespace blocks {

// A buffer of at least length bytes (at most kRunBytes), its contents undefined: the
// caller overwrites every byte it hands on. A buffer comes back to be reused only once no
// block refers to it any longer; at most a few are kept. Thread-safe.
BlockBuffer takeRunBuffer(std::uint64_t length);

}  // namespace blocks
