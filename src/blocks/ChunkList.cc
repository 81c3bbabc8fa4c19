#include "blocks/ChunkList.h"

#include <new>

namespace blocks {

// The list's room is made up front: returning a chunk must not allocate.
ChunkList::ChunkList(std::size_t chunkBytes, std::size_t keep)
    : chunkBytes_(chunkBytes), keep_(keep) {
    idle_.reserve(keep);
}

ChunkList::~ChunkList() {
    for (void* chunk : idle_)
        ::operator delete(chunk);
}

void* ChunkList::allocate(std::size_t bytes) {
    if (bytes > chunkBytes_)
        return ::operator new(bytes);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!idle_.empty()) {
            void* chunk = idle_.back();
            idle_.pop_back();
            return chunk;
        }
    }
    return ::operator new(chunkBytes_);
}

void ChunkList::deallocate(void* memory, std::size_t bytes) {
    if (bytes <= chunkBytes_) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() < keep_) {
            idle_.push_back(memory);
            return;
        }
    }
    ::operator delete(memory);
}

std::size_t ChunkList::idle() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return idle_.size();
}

}  // namespace blocks
