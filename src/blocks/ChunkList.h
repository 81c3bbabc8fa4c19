// Memory in chunks of one size that go back on a list, not to the allocator, when freed,
// and an allocator that draws on it, so that shared pointers made with allocate_shared keep
// their control block and object in recycled chunks. Requests larger than a chunk go to the
// allocator as usual. Thread-safe: chunks are typically taken by one thread and returned
// by another. At most `keep` idle chunks are kept; the rest are freed.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace blocks {

class ChunkList {
  public:
    // What allocate_shared adds to the object it makes: the control block and its padding.
    // A list meant for shared objects of N bytes has chunks of N + kSharedOverhead.
    static constexpr std::size_t kSharedOverhead = 64;

    ChunkList(std::size_t chunkBytes, std::size_t keep);
    ~ChunkList();
    ChunkList(const ChunkList&) = delete;
    ChunkList& operator=(const ChunkList&) = delete;

    // Memory for bytes, aligned as operator new aligns; never null (throws std::bad_alloc).
    void* allocate(std::size_t bytes);
    // Returns what allocate(bytes) gave.
    void deallocate(void* memory, std::size_t bytes);

    std::size_t chunkBytes() const { return chunkBytes_; }
    std::size_t idle() const;

  private:
    const std::size_t chunkBytes_;
    const std::size_t keep_;
    mutable std::mutex mutex_;
    std::vector<void*> idle_;  // owned chunks of chunkBytes_
};

template <typename T>
class ChunkAllocator {
  public:
    using value_type = T;
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

    explicit ChunkAllocator(std::shared_ptr<ChunkList> chunks) : chunks_(std::move(chunks)) {}
    template <typename U>
    ChunkAllocator(const ChunkAllocator<U>& other) : chunks_(other.chunks()) {}

    T* allocate(std::size_t count) { return static_cast<T*>(chunks_->allocate(count * sizeof(T))); }
    void deallocate(T* memory, std::size_t count) {
        chunks_->deallocate(memory, count * sizeof(T));
    }
    const std::shared_ptr<ChunkList>& chunks() const { return chunks_; }

    template <typename U>
    bool operator==(const ChunkAllocator<U>& other) const {
        return chunks_ == other.chunks();
    }

  private:
    // Shared, so memory handed out keeps its list alive until it comes back.
    std::shared_ptr<ChunkList> chunks_;
};

}  // namespace blocks
