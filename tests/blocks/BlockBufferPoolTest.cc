// Recycled block memory: what is released comes back, at most `keep` chunks wait, requests
// larger than a chunk bypass the list, and memory may be made in one thread, released in
// another and outlive its pool.
#include "blocks/BlockBufferPool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

using blocks::BlockBufferPool;
using blocks::ChunkList;

TEST(ChunkListTest, ReleasedChunksAreReusedUpToKeepAndLargerRequestsBypassTheList) {
    ChunkList chunks(128, 2);
    void* first = chunks.allocate(100);
    void* second = chunks.allocate(128);
    void* third = chunks.allocate(64);
    chunks.deallocate(first, 100);
    chunks.deallocate(second, 128);
    chunks.deallocate(third, 64);
    EXPECT_EQ(chunks.idle(), 2u);
    // The last chunk returned is the first given out again.
    EXPECT_EQ(chunks.allocate(128), second);
    void* large = chunks.allocate(129);
    std::memset(large, 0xAB, 129);  // a whole allocation of its own, not a chunk
    chunks.deallocate(large, 129);
    EXPECT_EQ(chunks.idle(), 1u);
    chunks.deallocate(second, 128);
}

TEST(BlockBufferPoolTest, BlocksAndBuffersComeBackToThePool) {
    auto pool = BlockBufferPool::create(4096 + 37, 8);
    unsigned char* address = nullptr;
    {
        blocks::BlockBuffer data = pool->take();
        address = data.get();
        std::memset(data.get(), 7, pool->capacity());
        auto block = pool->makeBlock(3, 4096, std::move(data), 4096, false, false);
        EXPECT_EQ(block->index(), 3u);
        EXPECT_EQ(block->getData(), address);
        EXPECT_EQ(pool->idle(), 0u);
    }
    EXPECT_EQ(pool->idle(), 1u);
    EXPECT_EQ(pool->take().get(), address);
}

// Made in one thread, released in another (as the receiver and the disk writer do), and the
// last ones after the pool itself is gone.
TEST(BlockBufferPoolTest, BlocksReleasedElsewhereAndAfterThePoolKeepTheirData) {
    auto pool = BlockBufferPool::create(512, 16);
    std::vector<std::shared_ptr<blocks::Block>> made;
    for (int round = 0; round < 20; ++round) {
        for (unsigned i = 0; i < 32; ++i) {
            auto data = pool->take();
            std::memset(data.get(), static_cast<int>(i), 512);
            made.push_back(pool->makeBlock(i, 512, std::move(data), 512, false, false));
        }
        std::thread releaser([&made] {
            for (const auto& block : made) {
                for (unsigned k = 0; k < 512; ++k)
                    ASSERT_EQ(block->getData()[k], static_cast<unsigned char>(block->index()));
            }
            made.clear();
        });
        releaser.join();
    }
    EXPECT_LE(pool->idle(), 16u);
    auto survivor = pool->makeBlock(1, 512, pool->take(), 512, false, false);
    pool.reset();
    EXPECT_EQ(survivor->length(), 512u);
}

}  // namespace
