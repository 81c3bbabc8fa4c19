// The restore's batches packed on several threads: the units must be those one thread
// makes, in batch order, and every way out (end, a source's error, an owner that leaves
// early) must join the threads without reading the source further than the bound.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

#include "backup-server/session/BatchPipeline.h"
#include "backup-server/session/BlockEncoder.h"
#include "backup-server/session/RestoreUnit.h"
#include "common/TestBytes.h"
#include "crypto/CryptoLibrary.h"
#include "runtime/Exceptions.h"

namespace {

using backup_server::BatchPipeline;
using backup_server::RestoreOptions;
using backup_server::RestoreUnit;

constexpr std::uint32_t kBlockSize = 4096;

// Fresh blocks on every call (encoding changes a block in place): random, zero and text
// blocks in turn, so some deflate and some do not. Throws after failAfter blocks; endless
// when count is 0.
class MixedSource : public backup_server::BlockSource {
  public:
    explicit MixedSource(std::uint64_t count, std::uint64_t failAfter = UINT64_MAX)
        : count_(count), failAfter_(failAfter) {}

    blocks::BlockPtr next() override {
        if (count_ != 0 && given_ == count_)
            return nullptr;
        if (given_ == failAfter_)
            ZENTRAD_THROW(runtime::AgentException,
                          "Cannot read block " + std::to_string(given_.load()));
        std::string content;
        switch (given_ % 3) {
            case 0:
                content = test::randomBytes(kBlockSize, static_cast<unsigned>(given_));
                break;
            case 1:
                content.assign(kBlockSize, '\0');
                break;
            default:
                content.assign(kBlockSize, static_cast<char>('a' + given_ % 26));
        }
        auto data = std::make_shared<unsigned char[]>(kBlockSize);
        std::memcpy(data.get(), content.data(), kBlockSize);
        auto block = std::make_shared<blocks::Block>(given_ * 2, kBlockSize, std::move(data),
                                                     kBlockSize, false, false);
        block->computeDigest();
        ++given_;
        return block;
    }
    std::uint64_t given() const { return given_; }

  private:
    std::uint64_t count_;
    std::uint64_t failAfter_;
    std::atomic<std::uint64_t> given_ = 0;
};

// What one thread makes of the same source: encode a batch, frame it, next batch.
std::vector<RestoreUnit> oneThreadUnits(const RestoreOptions& options, std::uint64_t count) {
    MixedSource source(count);
    backup_server::BlockEncoder encoder(options);
    std::vector<RestoreUnit> units;
    for (blocks::BlockPtr block = source.next(); block != nullptr;) {
        RestoreUnit unit;
        unit.batch = units.size();
        for (; block != nullptr && unit.blocks.size() < options.batchBlocks;
             block = source.next()) {
            encoder.encode(*block);
            unit.blocks.push_back(block);
        }
        bool corrupt = options.corruptBatch == unit.batch;
        unit.recordBytes = backup_server::frameRestoreUnit(unit.blocks, corrupt, unit.bytes);
        units.push_back(std::move(unit));
    }
    return units;
}

class BatchPipelineTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { crypto::CryptoLibrary::initialise(); }

    static RestoreOptions packed(std::uint32_t batchBlocks) {
        RestoreOptions options;
        options.blockSize = kBlockSize;
        options.batchBlocks = options.maxBlocks = batchBlocks;
        options.compressionType = 1;
        options.compressionLevel = 1;
        options.encryptionType = 1;
        options.requestKey.emplace(crypto::KeyMsg::kGeneratedType, 128);
        return options;
    }
};

TEST_F(BatchPipelineTest, UnitsAreThoseOfOneThreadInBatchOrder) {
    RestoreOptions options = packed(7);
    options.corruptBatch = 5;
    const std::uint64_t blockCount = 7 * 40 + 3;  // a short last batch
    std::vector<RestoreUnit> expected = oneThreadUnits(options, blockCount);
    ASSERT_EQ(expected.size(), 41u);
    for (unsigned workers : {1u, 2u, 3u, 8u}) {
        MixedSource source(blockCount);
        BatchPipeline pipeline(options, source, workers);
        RestoreUnit unit;
        std::size_t index = 0;
        std::uint64_t plainBytes = 0;
        std::uint64_t compressed = 0;
        for (; pipeline.next(unit); ++index) {
            ASSERT_LT(index, expected.size()) << workers << " workers";
            EXPECT_EQ(unit.batch, index);
            EXPECT_EQ(unit.blockCount, expected[index].blocks.size());
            EXPECT_EQ(unit.recordBytes, expected[index].recordBytes);
            ASSERT_TRUE(unit.bytes == expected[index].bytes)
                << workers << " workers, batch " << index;
            plainBytes += unit.plainBytes;
            compressed += unit.compressedBlocks;
        }
        EXPECT_EQ(index, expected.size()) << workers << " workers";
        EXPECT_EQ(plainBytes, blockCount * kBlockSize);
        // The zero and text blocks deflate, the random ones do not.
        EXPECT_EQ(compressed, blockCount - (blockCount + 2) / 3);
        EXPECT_FALSE(pipeline.next(unit)) << "the end stays the end";
    }
}

TEST_F(BatchPipelineTest, SourceErrorEndsTheStreamWithThatError) {
    for (unsigned workers : {1u, 4u}) {
        MixedSource source(0, 100);
        BatchPipeline pipeline(packed(8), source, workers);
        RestoreUnit unit;
        std::uint64_t units = 0;
        try {
            while (pipeline.next(unit)) {
                EXPECT_EQ(unit.batch, units);
                ++units;
            }
            ADD_FAILURE() << "the stream ended without the source's error";
        } catch (const runtime::AgentException& error) {
            EXPECT_EQ(error.message(), "Cannot read block 100");
        }
        // The full batches before the error may or may not have been packed; never the
        // unfinished one.
        EXPECT_LE(units, 100u / 8);
    }
}

// An owner that stops taking units (its peer went away) must get every thread back at
// once, though the reader, the packers and the channels are all full, and the source must
// not have been read further than the batches the pipeline may hold.
TEST_F(BatchPipelineTest, OwnerLeavingEarlyStopsEveryThreadWithinTheBound) {
    for (unsigned workers : {1u, 3u}) {
        const std::uint32_t batchBlocks = 4;
        MixedSource source(0);
        {
            RestoreOptions options = packed(batchBlocks);
            BatchPipeline pipeline(options, source, workers);
            RestoreUnit unit;
            ASSERT_TRUE(pipeline.next(unit));
            ASSERT_TRUE(pipeline.next(unit));
            // Let the reader and packers fill whatever they may.
            for (int i = 0; i < 200 && source.given() < 1000; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // Taken: 2; waiting for the owner: workers; finished or in hand in the packers:
        // 2 * workers; moved out of the reorder slots by the packer that puts them on:
        // workers; waiting to be packed: workers; being filled by the reader: 1.
        EXPECT_LE(source.given(), std::uint64_t{batchBlocks} * (2 + 5 * workers + 1))
            << workers << " workers";
    }
}

TEST_F(BatchPipelineTest, MissingKeyFailsBeforeAnythingIsRead) {
    RestoreOptions options = packed(4);
    options.requestKey.reset();
    MixedSource source(10);
    EXPECT_THROW(BatchPipeline(options, source, 2), runtime::AgentException);
    EXPECT_EQ(source.given(), 0u);
}

}  // namespace
