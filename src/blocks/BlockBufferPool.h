// Block buffers of one capacity that return to the pool, not to the allocator, when their
// last owner lets go. A restore receives, deciphers and inflates one block per record, each
// in its own thread; a fresh allocation per record, made in one thread and freed in
// another, costs more than a small record's own work.
//
// The pool keeps at most `keep` idle buffers and frees the rest; it never holds more than
// the pipeline had in flight at once. Thread-safe. A buffer handed out keeps the pool alive
// until it comes back, so the pool may be dropped while blocks are still on their way.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "blocks/Block.h"

namespace blocks {

class BlockBufferPool : public std::enable_shared_from_this<BlockBufferPool> {
  public:
    static std::shared_ptr<BlockBufferPool> create(std::size_t capacity, std::size_t keep);

    BlockBufferPool(const BlockBufferPool&) = delete;
    BlockBufferPool& operator=(const BlockBufferPool&) = delete;

    std::size_t capacity() const { return capacity_; }
    // A buffer of capacity() bytes; its contents are whatever its last owner left.
    BlockBuffer take();
    // Buffers waiting to be taken again.
    std::size_t idle() const;

  private:
    struct Return {
        std::shared_ptr<BlockBufferPool> pool;
        void operator()(unsigned char* buffer) const { pool->give(buffer); }
    };

    BlockBufferPool(std::size_t capacity, std::size_t keep) : capacity_(capacity), keep_(keep) {}
    void give(unsigned char* buffer);

    const std::size_t capacity_;
    const std::size_t keep_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<unsigned char[]>> idle_;
};

}  // namespace blocks
