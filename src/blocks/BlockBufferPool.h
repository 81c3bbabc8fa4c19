// Blocks and block buffers whose memory returns to the pool, not to the allocator, when
// their last owner lets go. A restore receives, deciphers and inflates one block per
// record, each in its own thread; fresh allocations per record, made in one thread and
// freed in another, cost more than a small record's own work. Buffers and blocks are made
// with allocate_shared, so a block's object and control block share one recycled chunk,
// and so do a buffer's bytes and theirs.
//
// Each list keeps at most `keep` idle chunks and frees the rest; it never holds more than
// the pipeline had in flight at once. Thread-safe. Whatever is handed out keeps the pool's
// lists alive until it comes back, so the pool may go while blocks are still on their way.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "blocks/Block.h"
#include "blocks/ChunkList.h"

namespace blocks {

class BlockBufferPool {
  public:
    static std::shared_ptr<BlockBufferPool> create(std::size_t capacity, std::size_t keep) {
        return std::make_shared<BlockBufferPool>(capacity, keep);
    }
    BlockBufferPool(std::size_t capacity, std::size_t keep);

    std::size_t capacity() const { return capacity_; }
    // A buffer of capacity() bytes; its contents are whatever its last owner left.
    BlockBuffer take() {
        return std::allocate_shared_for_overwrite<unsigned char[]>(
            ChunkAllocator<unsigned char>(buffers_), capacity_);
    }
    // A block, as Block's constructors make it.
    template <typename... Arguments>
    std::shared_ptr<Block> makeBlock(Arguments&&... arguments) {
        return std::allocate_shared<Block>(ChunkAllocator<Block>(blocks_),
                                           std::forward<Arguments>(arguments)...);
    }
    // Buffers waiting to be taken again.
    std::size_t idle() const { return buffers_->idle(); }

  private:
    const std::size_t capacity_;
    std::shared_ptr<ChunkList> buffers_;
    std::shared_ptr<ChunkList> blocks_;
};

}  // namespace blocks
