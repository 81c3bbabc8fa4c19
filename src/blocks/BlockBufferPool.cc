#include "blocks/BlockBufferPool.h"

namespace blocks {
namespace {

// What allocate_shared adds to the object: the control block and its padding.
constexpr std::size_t kSharedOverhead = 64;

}  // namespace

BlockBufferPool::BlockBufferPool(std::size_t capacity, std::size_t keep)
    : capacity_(capacity),
      buffers_(std::make_shared<ChunkList>(capacity + kSharedOverhead, keep)),
      blocks_(std::make_shared<ChunkList>(sizeof(Block) + kSharedOverhead, keep)) {}

}  // namespace blocks
