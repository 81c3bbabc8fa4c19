// Buffers handed back when the last holder lets go, and handed out again: the backup's
// stages make one buffer per run read and per block transformed, and each is freed on
// another thread than the one that made it. From the heap, that grew and trimmed the
// threads' arenas again and again (a page fault per 4 KiB touched afresh); from a pool,
// the memory stays mapped and warm. The recycling itself is a ChunkList's; this adds the
// one thing the backup needs beyond it: the capacity is chosen per call, since the block
// size is known only once a volume is open.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>

#include "blocks/Block.h"
#include "blocks/ChunkList.h"

namespace blocks {

class BufferPool {
  public:
    // Keeps at most `kept` free buffers; beyond that a returned buffer is freed, so the
    // pool never holds more than the busiest moment had in use.
    explicit BufferPool(std::size_t kept) : kept_(kept) {}

    // A buffer of exactly `capacity` bytes, contents undefined: the caller writes every
    // byte it later reads. It returns to the pool when no shared_ptr refers to it any more
    // (also after the pool is gone, when it is simply freed). Buffers of another capacity
    // than the last asked for are not kept. Thread-safe.
    BlockBuffer take(std::size_t capacity);

    // Frees the buffers kept (an idle agent holds none); buffers in use are freed when they
    // come back.
    void clear();
    std::size_t freeCount() const;

  private:
    const std::size_t kept_;
    mutable std::mutex mutex_;  // guards chunks_ and capacity_
    // The chunks of the capacity last asked for. Buffers hold their own list, so one of an
    // earlier capacity goes back to a list nobody takes from, which is freed with its last
    // buffer.
    std::shared_ptr<ChunkList> chunks_;
    std::size_t capacity_ = 0;
};

// The process's pools: run reads (kRunBytes each) and transformed blocks.
BufferPool& runBuffers();
BufferPool& blockBuffers();

}  // namespace blocks
