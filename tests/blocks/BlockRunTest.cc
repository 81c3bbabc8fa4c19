// Runs of clusters read with one device request, and the fall-back to single blocks.
#include "blocks/BlockRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

#include "BlocksTestSupport.h"
#include "crypto/Digest.h"
#include "platform/Errors.h"
#include "platform/System.h"

namespace {

constexpr std::uint64_t kSize = 512;

unsigned char byteAt(std::uint64_t offset) {
    return static_cast<unsigned char>((offset / kSize) * 31 + offset % 251);
}

// A device whose bytes follow byteAt; reads that touch badOffset fail with badError the
// first failures times; shortBy trims reads longer than one block.
class RunDevice : public test::FakeDevice {
  public:
    bool read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead) override {
        reads.push_back({position, size});
        if (failures > 0 && badOffset >= position && badOffset < position + size) {
            --failures;
            platform::setLastError(badError);
            return false;
        }
        auto* out = static_cast<unsigned char*>(buffer);
        for (std::uint32_t i = 0; i < size; ++i)
            out[i] = byteAt(position + i);
        *bytesRead = size > kSize ? size - shortBy : size;
        position += *bytesRead;
        return true;
    }

    struct Read {
        std::uint64_t offset;
        std::uint32_t size;
        bool operator==(const Read&) const = default;
    };
    std::vector<Read> reads;
    std::uint64_t badOffset = ~0ull;
    int failures = 0;
    std::uint32_t badError = platform::kErrorCrc;
    std::uint32_t shortBy = 0;
};

using RunFixture = test::FakeHandle<RunDevice>;

// Each block holds its own cluster's bytes and the digest of them, as a single load gives.
void expectBlocks(const std::vector<blocks::BlockPtr>& got, std::uint64_t first,
                  std::uint64_t count) {
    ASSERT_EQ(got.size(), count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const blocks::Block& block = *got[i];
        EXPECT_EQ(block.index(), first + i);
        ASSERT_EQ(block.length(), kSize);
        for (std::uint64_t b = 0; b < kSize; ++b)
            ASSERT_EQ(block.getData()[b], byteAt((first + i) * kSize + b)) << i << ":" << b;
        auto digest =
            crypto::md5(std::string_view(reinterpret_cast<const char*>(block.getData()), kSize));
        ASSERT_TRUE(digest);
        EXPECT_TRUE(std::equal(digest->begin(), digest->end(), block.getDigest().begin()));
        EXPECT_FALSE(block.compressed() || block.encrypted());
    }
}

TEST(BlockRunTest, ARunIsOneReadAndEachBlockKeepsItsOwnCluster) {
    RunFixture fixture;
    std::vector<blocks::BlockPtr> got;
    blocks::loadBlockRun(fixture.handle, 10, 6, kSize, got);
    expectBlocks(got, 10, 6);
    EXPECT_EQ(fixture.device->reads, (std::vector<RunDevice::Read>{{10 * kSize, 6 * kSize}}));

    // Appends: a second run follows the first.
    blocks::loadBlockRun(fixture.handle, 2, 1, kSize, got);
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got.back()->index(), 2u);
}

// Run buffers are reused once no block holds them: a buffer still held must never be
// filled again, and a shorter run in a reused buffer shows only its own bytes.
TEST(BlockRunTest, RunBuffersAreReusedOnlyWhenNoBlockHoldsThem) {
    RunFixture fixture;
    std::vector<std::vector<blocks::BlockPtr>> held(12);
    for (std::uint64_t r = 0; r < held.size(); ++r)
        blocks::loadBlockRun(fixture.handle, 100 + r * 8, 8, kSize, held[r]);
    for (std::uint64_t r = 0; r < held.size(); ++r)
        expectBlocks(held[r], 100 + r * 8, 8);
    for (int round = 0; round < 3; ++round) {
        held.clear();
        std::vector<blocks::BlockPtr> shorter;
        blocks::loadBlockRun(fixture.handle, 7 + round, 2, kSize, shorter);
        expectBlocks(shorter, 7 + round, 2);
        // A block kept alone keeps its whole run's buffer from being handed out again.
        std::vector<blocks::BlockPtr> next;
        blocks::loadBlockRun(fixture.handle, 500, 4, kSize, next);
        expectBlocks(shorter, 7 + round, 2);
        expectBlocks(next, 500, 4);
    }
}

TEST(BlockRunTest, AFailedOrShortRunFallsBackToSingleBlocks) {
    for (int shortRun : {0, 1}) {
        SCOPED_TRACE(shortRun);
        RunFixture fixture;
        if (shortRun == 1) {
            fixture.device->shortBy = kSize;
        } else {
            // The run read meets a transient error once; single loads then succeed.
            fixture.device->badOffset = 42 * kSize + 7;
            fixture.device->failures = 1;
        }
        std::vector<blocks::BlockPtr> got;
        blocks::loadBlockRun(fixture.handle, 40, 4, kSize, got);
        expectBlocks(got, 40, 4);
        std::vector<RunDevice::Read> expected{{40 * kSize, 4 * kSize}};
        for (std::uint64_t i = 40; i < 44; ++i)
            expected.push_back({i * kSize, kSize});
        EXPECT_EQ(fixture.device->reads, expected);
    }
}

TEST(BlockRunTest, AHardErrorInARunFailsAsTheSingleBlockDoes) {
    RunFixture fixture;
    fixture.device->badOffset = 5 * kSize;
    fixture.device->failures = 1000;
    fixture.device->badError = platform::kErrorAccessDenied;
    std::vector<blocks::BlockPtr> got;
    EXPECT_THROW(blocks::loadBlockRun(fixture.handle, 3, 4, kSize, got), std::exception);
    // Blocks before the bad one were loaded singly; nothing after it was read.
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(fixture.device->reads.back().offset, 5 * kSize);
}

TEST(BlockRunTest, RunsBeyondTheBoundAreRefused) {
    RunFixture fixture;
    std::vector<blocks::BlockPtr> got;
    EXPECT_THROW(blocks::loadBlockRun(fixture.handle, 0, blocks::kRunBytes / kSize + 1, kSize, got),
                 std::exception);
    EXPECT_THROW(blocks::loadBlockRun(fixture.handle, ~0ull / kSize, 2, kSize, got),
                 std::exception);
    EXPECT_TRUE(fixture.device->reads.empty());
}

}  // namespace
