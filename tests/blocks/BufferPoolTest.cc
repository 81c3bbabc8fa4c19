// Pooled buffers: handed out again only once nobody holds them, kept up to a bound, and a
// block transformed in a reused buffer carries only its own bytes.
#include "blocks/BufferPool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/TestBytes.h"

namespace {

using blocks::Block;
using blocks::BlockBuffer;
using blocks::BufferPool;

TEST(BufferPoolTest, HeldBuffersAreNeverHandedOutAgainAndFreeOnesAreBounded) {
    auto pool = std::make_shared<BufferPool>(3);
    std::vector<BlockBuffer> held;
    std::set<unsigned char*> addresses;
    for (int i = 0; i < 5; ++i) {
        held.push_back(pool->take(64));
        addresses.insert(held.back().get());
    }
    EXPECT_EQ(addresses.size(), 5u);
    held.clear();
    EXPECT_EQ(pool->freeCount(), 3u);
    BlockBuffer again = pool->take(64);
    EXPECT_TRUE(addresses.count(again.get()));
    EXPECT_EQ(pool->freeCount(), 2u);
    // Another capacity drops what was kept; the old capacity's buffers are not kept when
    // they come back.
    BlockBuffer other = pool->take(128);
    EXPECT_EQ(pool->freeCount(), 0u);
    again.reset();
    EXPECT_EQ(pool->freeCount(), 0u);
    other.reset();
    EXPECT_EQ(pool->freeCount(), 1u);
    BlockBuffer held2 = pool->take(128);
    held2.reset();
    pool->clear();
    EXPECT_EQ(pool->freeCount(), 0u);
    // A buffer that outlives its pool is freed on its own.
    BlockBuffer orphan = pool->take(128);
    pool.reset();
    orphan.reset();
}

std::shared_ptr<Block> rawBlock(std::uint64_t index, const std::string& bytes) {
    BlockBuffer buffer = std::make_shared<unsigned char[]>(bytes.size());
    std::memcpy(buffer.get(), bytes.data(), bytes.size());
    return std::make_shared<Block>(index, bytes.size(), buffer, bytes.size(), false, false);
}

std::string dataOf(const Block& block) {
    return {reinterpret_cast<const char*>(block.getData()), block.length()};
}

// The pipeline's order of use: long random blocks released, then short compressible ones
// deflated and enciphered into the buffers the long ones left, each checked back.
TEST(BufferPoolTest, BlocksTransformedInReusedBuffersRoundTripExactly) {
    constexpr std::size_t kSize = 4096;
    crypto::KeyMsg key(1, std::string(16, '\x33'), std::string(8, '\x07'));
    crypto::CipherContext cipher;
    blocks::DeflateStream deflater(1);
    blocks::InflateStream inflater;
    std::vector<std::pair<std::shared_ptr<Block>, std::string>> kept;
    for (int round = 0; round < 3; ++round) {
        std::vector<std::string> plains;
        std::vector<std::shared_ptr<Block>> blocks;
        for (std::uint64_t i = 0; i < 40; ++i) {
            std::string plain = i % 2 == 0 ? test::randomBytes(kSize, 10 * round + i)
                                           : std::string(kSize - 1000 * round, 'a' + i % 26) +
                                                 std::string(1000 * round, 'z');
            plains.push_back(plain);
            auto block = rawBlock(i, plain);
            block->deflate(deflater);
            block->encrypt(key, cipher);
            blocks.push_back(block);
        }
        // Blocks held from earlier rounds keep their bytes while others reuse buffers.
        for (const auto& [block, bytes] : kept)
            EXPECT_EQ(dataOf(*block), bytes) << round;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            BlockBuffer received = std::make_shared<unsigned char[]>(blocks[i]->length() + 1);
            std::memcpy(received.get(), blocks[i]->getData(), blocks[i]->length());
            Block copy(i, kSize, received, blocks[i]->length(), blocks[i]->compressed(), true);
            copy.decrypt(key, cipher);
            copy.inflate(inflater);
            ASSERT_EQ(dataOf(copy), plains[i]) << round << ":" << i;
        }
        kept.emplace_back(blocks[1], dataOf(*blocks[1]));
        blocks.clear();
    }
}

}  // namespace
