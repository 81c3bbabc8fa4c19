#include "blocks/BufferPool.h"

namespace blocks {

BlockBuffer BufferPool::take(std::size_t capacity) {
    std::shared_ptr<ChunkList> chunks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!chunks_ || capacity != capacity_) {
            chunks_ = std::make_shared<ChunkList>(capacity + ChunkList::kSharedOverhead, kept_);
            capacity_ = capacity;
        }
        chunks = chunks_;
    }
    return std::allocate_shared_for_overwrite<unsigned char[]>(
        ChunkAllocator<unsigned char>(std::move(chunks)), capacity);
}

void BufferPool::clear() {
    std::shared_ptr<ChunkList> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(chunks_);
}

std::size_t BufferPool::freeCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chunks_ ? chunks_->idle() : 0;
}

namespace {

// What the pipeline holds at its fullest: three channels of 2048 blocks and the workers'
// reorder windows, the runs aliased by blocks that have not been deflated or enciphered
// yet. Never more than a backup had in use at once, and given back when it ends.
constexpr std::size_t kKeptRuns = 32;
constexpr std::size_t kKeptBlocks = 8192;

}  // namespace

// Function-local objects: a buffer still out when the process ends holds its own list.
BufferPool& runBuffers() {
    static BufferPool pool(kKeptRuns);
    return pool;
}

BufferPool& blockBuffers() {
    static BufferPool pool(kKeptBlocks);
    return pool;
}

}  // namespace blocks
