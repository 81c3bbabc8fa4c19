#include "blocks/BlockBufferPool.h"

namespace blocks {

BlockBufferPool::BlockBufferPool(std::size_t capacity, std::size_t keep)
    : capacity_(capacity),
      buffers_(std::make_shared<ChunkList>(capacity + ChunkList::kSharedOverhead, keep)),
      blocks_(std::make_shared<ChunkList>(sizeof(Block) + ChunkList::kSharedOverhead, keep)) {}

}  // namespace blocks
