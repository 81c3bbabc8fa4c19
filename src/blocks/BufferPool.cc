#include "blocks/BufferPool.h"

#include "blocks/BlockRun.h"

namespace blocks {

BlockBuffer BufferPool::take(std::size_t capacity) {
    Owned buffer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (capacity != capacity_) {
            free_.clear();
            capacity_ = capacity;
        } else if (!free_.empty()) {
            buffer = std::move(free_.back());
            free_.pop_back();
        }
    }
    if (!buffer)
        buffer = std::make_unique_for_overwrite<unsigned char[]>(capacity);
    std::weak_ptr<BufferPool> owner = weak_from_this();
    return BlockBuffer(buffer.release(), [owner, capacity](unsigned char* returned) {
        Owned back(returned);
        if (std::shared_ptr<BufferPool> pool = owner.lock())
            pool->give(std::move(back), capacity);
    });
}

void BufferPool::give(Owned buffer, std::size_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (capacity == capacity_ && free_.size() < kept_)
        free_.push_back(std::move(buffer));
}

std::size_t BufferPool::freeCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return free_.size();
}

namespace {

// Enough for the runs that wait in the pipeline's channels at once.
constexpr std::size_t kKeptRuns = 8;
// A few channels' worth of blocks in flight (4 MiB of 4 KiB clusters).
constexpr std::size_t kKeptBlocks = 1024;

}  // namespace

BufferPool& runBuffers() {
    static std::shared_ptr<BufferPool> pool = std::make_shared<BufferPool>(kKeptRuns);
    return *pool;
}

BufferPool& blockBuffers() {
    static std::shared_ptr<BufferPool> pool = std::make_shared<BufferPool>(kKeptBlocks);
    return *pool;
}

}  // namespace blocks
