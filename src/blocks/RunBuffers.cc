#include "blocks/RunBuffers.h"

#include <memory>
#include <mutex>
#include <vector>

#include "blocks/BlockRun.h"

namespace blocks {
namespace {

// Enough for the runs that wait in the pipeline's channels at once; beyond that a buffer
// is freed, so memory never stays above what the busiest moment needed.
constexpr std::size_t kKeptBuffers = 8;

class Pool {
  public:
    std::unique_ptr<unsigned char[]> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (free_.empty())
            return nullptr;
        std::unique_ptr<unsigned char[]> buffer = std::move(free_.back());
        free_.pop_back();
        return buffer;
    }
    void give(std::unique_ptr<unsigned char[]> buffer) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (free_.size() < kKeptBuffers)
            free_.push_back(std::move(buffer));
    }

  private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<unsigned char[]>> free_;
};

// Blocks may outlive the pool at exit: a buffer whose pool is gone is simply freed.
std::shared_ptr<Pool> pool() {
    static std::shared_ptr<Pool> instance = std::make_shared<Pool>();
    return instance;
}

}  // namespace

BlockBuffer takeRunBuffer(std::uint64_t length) {
    (void)length;  // every buffer holds a whole run, so any of them fits any run
    std::shared_ptr<Pool> owner = pool();
    std::unique_ptr<unsigned char[]> buffer = owner->take();
    if (!buffer)
        buffer = std::make_unique_for_overwrite<unsigned char[]>(kRunBytes);
    unsigned char* data = buffer.release();
    return BlockBuffer(data, [weak = std::weak_ptr<Pool>(owner)](unsigned char* returned) {
        std::unique_ptr<unsigned char[]> back(returned);
        if (std::shared_ptr<Pool> live = weak.lock())
            live->give(std::move(back));
    });
}

}  // namespace blocks
