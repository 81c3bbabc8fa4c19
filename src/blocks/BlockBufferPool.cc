#include "blocks/BlockBufferPool.h"

namespace blocks {

std::shared_ptr<BlockBufferPool> BlockBufferPool::create(std::size_t capacity, std::size_t keep) {
    return std::shared_ptr<BlockBufferPool>(new BlockBufferPool(capacity, keep));
}

BlockBuffer BlockBufferPool::take() {
    std::unique_ptr<unsigned char[]> buffer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!idle_.empty()) {
            buffer = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    if (!buffer)
        buffer = std::make_unique_for_overwrite<unsigned char[]>(capacity_);
    // The shared pointer owns the memory from here; its deleter hands it back.
    return BlockBuffer(buffer.release(), Return{shared_from_this()});
}

void BlockBufferPool::give(unsigned char* buffer) {
    std::unique_ptr<unsigned char[]> owned(buffer);
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < keep_)
        idle_.push_back(std::move(owned));
}

std::size_t BlockBufferPool::idle() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return idle_.size();
}

}  // namespace blocks
