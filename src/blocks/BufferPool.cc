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

void BufferPool::clear() {
    std::vector<Owned> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(free_);
}

std::size_t BufferPool::freeCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return free_.size();
}

namespace {

// What the pipeline holds at its fullest: three channels of 2048 blocks and the workers'
// reorder windows, the runs aliased by blocks that have not been deflated or enciphered
// yet. Never more than a backup had in use at once, and given back when it ends.
constexpr std::size_t kKeptRuns = 32;
constexpr std::size_t kKeptBlocks = 8192;

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
