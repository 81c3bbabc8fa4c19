// The backup pipeline end to end over a loopback connection: which blocks go out, in which
// batches, with which digests, how the transformations can be undone by the receiver, how
// failures end it, and keep-alives for a slow reader.
#include "blocks/BackupPipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "BlocksTestSupport.h"
#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
#include "net/EncryptedMessage.h"
#include "net/SocketException.h"
#include "net/SocketPair.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"

namespace {

using blocks::Block;
using blocks::BlockMap;
constexpr std::uint64_t kSize = 512;

// Blocks whose contents are made from their index: even blocks compress, odd ones do not.
class MemoryReader : public blocks::BlockReader {
  public:
    explicit MemoryReader(std::uint64_t count) : count_(count) {}
    std::uint64_t blockCount() override { return count_; }
    std::shared_ptr<Block> readBlock(std::uint64_t index) override {
        if (index == failAt)
            throw runtime::DiskException("Failed to read block", "readBlock", 1);
        if (delay.count() > 0 && reads == 0)
            std::this_thread::sleep_for(delay);
        ++reads;
        std::string data = contents(index);
        blocks::BlockBuffer buffer = std::make_shared<unsigned char[]>(kSize);
        std::copy(data.begin(), data.end(), buffer.get());
        auto block = std::make_shared<Block>(index, kSize, buffer, kSize, false, false);
        block->computeDigest();
        return block;
    }
    std::uint64_t runLimit() override { return runLength; }
    void readRun(std::uint64_t first, std::uint64_t count,
                 std::vector<blocks::BlockPtr>& out) override {
        runs.emplace_back(first, count);
        BlockReader::readRun(first, count, out);
    }
    static std::string contents(std::uint64_t index) {
        std::string data(kSize, static_cast<char>(index));
        if (index % 2 == 1) {
            for (std::size_t i = 0; i < kSize; ++i)
                data[i] = static_cast<char>((index * 2654435761u + i * 40503u) >> (i % 13));
        }
        return data;
    }

    std::atomic<int> reads{0};
    std::uint64_t failAt = ~0ull;
    std::chrono::milliseconds delay{0};
    std::uint64_t runLength = 1;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;  // first, count

  private:
    std::uint64_t count_;
};

struct Received {
    std::vector<std::size_t> batchSizes;
    std::vector<std::shared_ptr<Block>> blocks;
    int keepAlives = 0;
    int keepAlivesBeforeFirstBatch = 0;
    std::vector<std::string> logTexts;
    // Every batch as it travelled: count, records and digest (log records left out).
    std::string wire;
};

// Runs the pipeline on its own thread and reads what it writes, as a server would.
class BackupPipelineTest : public ::testing::Test {
  protected:
    BackupPipelineTest()
        : protocolKey_(1, std::string(16, 'p'), std::string(8, 'i')),
          sessionKey_(1, std::string(16, 's'), std::string(8, 'v')) {}

    Received run(const blocks::BackupPipelineInput& input,
                 blocks::BackupPipelineSettings settings) {
        settings.sessionKey = &sessionKey_;
        auto sender = std::async(std::launch::async, [&] {
            test::LogCapture capture;  // log records travel in the stream, as on a connection
            net::ProtocolStream stream(pair_.near.get());
            try {
                result_ = blocks::runBackupPipeline(input, settings, stream, protocolKey_);
            } catch (...) {
                pair_.near->shutdownSend();
                throw;
            }
            pair_.near->shutdownSend();
            // Lines logged after the last write wait for the request's next code.
            unsent_ = capture.text();
        });
        Received received = receive(settings.encryptionType == 1);
        sender.get();
        return received;
    }

    Received receive(bool encrypted) {
        Received received;
        net::ProtocolStream stream(pair_.far.get());
        try {
            for (;;) {
                net::Code code = readCode(stream, received);
                if (code == net::PROT_KEEPALIVE) {
                    ++received.keepAlives;
                    received.keepAlivesBeforeFirstBatch += received.batchSizes.empty() ? 1 : 0;
                    continue;
                }
                EXPECT_EQ(code, net::PROT_ENCRYPTED);
                net::EncryptedMessage announcement(stream, protocolKey_);
                announcement.receive();
                EXPECT_EQ(announcement.read32(), net::PROT_BLOCKS);
                receiveBatch(stream, announcement.read16(), encrypted, received);
            }
        } catch (const net::SocketException&) {
            // The sender closed its side: the stream is over.
        }
        return received;
    }

    static net::Code readCode(net::ProtocolStream& stream, Received& received) {
        for (;;) {
            net::Code code = stream.readRawCode();
            if (code != net::PROT_LOG_INFO && code != net::PROT_LOG_ERROR &&
                code != net::PROT_LOG_WARN)
                return code;
            received.logTexts.push_back(stream.readString());
        }
    }

    void receiveBatch(net::ProtocolStream& stream, std::uint16_t count, bool encrypted,
                      Received& received) {
        EXPECT_EQ(readCode(stream, received), net::PROT_BLOCK_STREAM);
        blocks::Md5Stream md5;
        for (std::uint16_t i = 0; i < count; ++i) {
            blocks::BlockRecordHeaderBytes bytes;
            stream.readBytes(bytes.data(), bytes.size());
            auto header = blocks::parseBlockRecordHeader(bytes, kSize, encrypted);
            std::vector<unsigned char> data(header.length + 1);
            stream.readBytes(data.data(), header.length);
            md5.update(bytes.data(), bytes.size());
            md5.update(data.data(), header.length);
            received.wire.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            received.wire.append(reinterpret_cast<const char*>(data.data()), header.length);
            received.blocks.push_back(
                blocks::blockFromRecord(header, kSize, encrypted, data.data()));
        }
        EXPECT_EQ(readCode(stream, received), net::PROT_BLOCK_STREAM_DIGEST);
        blocks::BlockDigest digest;
        stream.readBytes(digest.data(), digest.size());
        EXPECT_EQ(digest, md5.finish());
        received.wire.append(reinterpret_cast<const char*>(digest.data()), digest.size());
        received.wire.append(std::to_string(count) + ";");
        received.batchSizes.push_back(count);
    }

    // The raw data of a received block, undoing the transformations.
    std::string rawData(Block& block) {
        block.decrypt(sessionKey_, cipher_);
        block.inflate(inflater_);
        return std::string(reinterpret_cast<const char*>(block.getData()), block.length());
    }

    static std::vector<std::uint64_t> indices(const Received& received) {
        std::vector<std::uint64_t> result;
        for (const auto& block : received.blocks)
            result.push_back(block->index());
        return result;
    }

    bool logged(const Received& received, const std::string& text) const {
        for (const auto& line : received.logTexts) {
            if (line == text)
                return true;
        }
        return unsent_.find(text) != std::string::npos;
    }

    test::SocketPair pair_;
    crypto::KeyMsg protocolKey_;
    crypto::KeyMsg sessionKey_;
    crypto::CipherContext cipher_;
    blocks::InflateStream inflater_;
    blocks::BackupPipelineResult result_;
    std::string unsent_;
};

BlockMap fullMap(std::uint64_t count) {
    BlockMap map(count);
    for (std::uint64_t i = 0; i < count; ++i)
        map.setBit(i);
    return map;
}

class MapChanges : public blocks::ChangedBlocks {
  public:
    explicit MapChanges(std::vector<std::uint64_t> blocks) : blocks_(std::move(blocks)) {}
    bool first(std::uint64_t& block) const override { return at(0, block); }
    bool next(std::uint64_t& block) const override {
        auto it = std::upper_bound(blocks_.begin(), blocks_.end(), block);
        return at(static_cast<std::size_t>(it - blocks_.begin()), block);
    }

  private:
    bool at(std::size_t i, std::uint64_t& block) const {
        if (i >= blocks_.size())
            return false;
        block = blocks_[i];
        return true;
    }
    std::vector<std::uint64_t> blocks_;
};

// Every transformation goes out in batches of 256 that the receiver can undo, and however
// many workers compress and encipher, the server receives the same bytes.
TEST_F(BackupPipelineTest, EveryTransformationGoesOutInBatchesOf256WhateverTheWorkers) {
    for (std::uint32_t compression : {0u, 1u}) {
        for (std::uint32_t encryption : {0u, 1u}) {
            std::vector<Received> sent;
            for (std::uint32_t workers : {1u, 4u}) {
                SCOPED_TRACE(std::to_string(compression) + "/" + std::to_string(encryption) +
                             " with " + std::to_string(workers));
                test::SocketPair fresh;
                std::swap(pair_, fresh);
                MemoryReader reader(1300);
                reader.runLength = 9;
                BlockMap used = fullMap(1300);
                std::vector<std::uint64_t> expected;
                for (std::uint64_t i = 0; i < 1300; ++i) {
                    if (i == 5 || i == 100 || i == 1299)
                        used.clearBit(i);
                    else
                        expected.push_back(i);
                }
                blocks::BackupPipelineSettings settings{compression, 6, encryption};
                settings.workers = workers;
                sent.push_back(run({&reader, &used, nullptr, nullptr, nullptr}, settings));
                Received& received = sent.back();
                ASSERT_EQ(indices(received), expected);
                EXPECT_EQ(received.batchSizes,
                          (std::vector<std::size_t>{256, 256, 256, 256, 256, 17}));
                int compressed = 0;
                for (auto& block : received.blocks) {
                    compressed += block->compressed() ? 1 : 0;
                    ASSERT_EQ(rawData(*block), MemoryReader::contents(block->index()));
                }
                EXPECT_EQ(compressed > 0, compression == 1);
                EXPECT_EQ(result_.blocksSent, 1297u);
                EXPECT_TRUE(logged(received, "Blocks sent: 1297"));
            }
            EXPECT_EQ(sent[0].wire.size(), sent[1].wire.size());
            EXPECT_TRUE(sent[0].wire == sent[1].wire);
        }
    }
}

// Runs cover consecutive used (or changed) blocks only, never more than the reader takes,
// and the blocks still go out one by one in order. Only used blocks that changed are sent.
TEST_F(BackupPipelineTest, RunsOfConsecutiveBlocksAreReadTogether) {
    MemoryReader reader(40);
    reader.runLength = 7;
    BlockMap used = fullMap(40);
    for (std::uint64_t gap : {3u, 4u, 20u, 39u})
        used.clearBit(gap);
    Received received = run({&reader, &used, nullptr, nullptr, nullptr}, {1, 6, 1});
    std::vector<std::uint64_t> expected;
    for (std::uint64_t i = 0; i < 40; ++i) {
        if (used.bit(i))
            expected.push_back(i);
    }
    EXPECT_EQ(indices(received), expected);
    using Runs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    EXPECT_EQ(reader.runs, (Runs{{0, 3}, {5, 7}, {12, 7}, {19, 1}, {21, 7}, {28, 7}, {35, 4}}));
    for (auto& block : received.blocks)
        ASSERT_EQ(rawData(*block), MemoryReader::contents(block->index()));

    test::SocketPair fresh;
    std::swap(pair_, fresh);
    MemoryReader changedReader(40);
    changedReader.runLength = 3;
    // Changes beyond the volume are passed over; sent blocks leave the skipped map.
    MapChanges changes({1, 2, 3, 4, 5, 6, 7, 9, 19, 20, 21, 38, 39, 40, 60});
    BlockMap skipped = used;
    received = run({&changedReader, &used, &skipped, nullptr, &changes}, {});
    EXPECT_EQ(indices(received), (std::vector<std::uint64_t>{1, 2, 5, 6, 7, 9, 19, 21, 38}));
    EXPECT_EQ(changedReader.runs, (Runs{{1, 2}, {5, 3}, {9, 1}, {19, 1}, {21, 1}, {38, 1}}));
    EXPECT_FALSE(skipped.bit(1) || skipped.bit(38));
    EXPECT_TRUE(skipped.bit(8));
}

TEST_F(BackupPipelineTest, EmptyMapsAndEmptyChangeSetsSendNothing) {
    MemoryReader reader(50);
    BlockMap none(50);
    Received received = run({&reader, &none, nullptr, nullptr, nullptr}, {});
    EXPECT_TRUE(received.blocks.empty());
    EXPECT_TRUE(logged(received, "Blocks sent: 0"));

    test::SocketPair fresh;
    std::swap(pair_, fresh);
    BlockMap used = fullMap(50);
    MapChanges noChanges({});
    received = run({&reader, &used, nullptr, nullptr, &noChanges}, {});
    EXPECT_TRUE(received.blocks.empty());
    EXPECT_EQ(reader.reads, 0);
}

TEST_F(BackupPipelineTest, BlocksTheServerHoldsStayInTheSkippedMap) {
    MemoryReader reader(10);
    BlockMap used = fullMap(10);
    BlockMap skipped = used;
    blocks::BlockSumManager sums(test::blockSumDir(), "Disk 0 Partition 0", 10);
    sums.addDigest(1, reader.readBlock(1)->getDigest());  // unchanged
    auto changed = reader.readBlock(2);
    changed->setDigest(blocks::BlockDigest{9});
    sums.addDigest(2, changed->getDigest());  // changed since
    Received received = run({&reader, &used, &skipped, &sums, nullptr}, {});
    EXPECT_EQ(indices(received), (std::vector<std::uint64_t>{0, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(result_.duplicatesSkipped, 1u);
    for (std::uint64_t i = 0; i < 10; ++i)
        EXPECT_EQ(skipped.bit(i), i == 1) << i;
}

// Blocks read together are handed on together; a run whose tail the server holds must
// neither lose the blocks before the tail nor stop early, also when the volume ends there.
TEST_F(BackupPipelineTest, RunsEndingInBlocksTheServerHoldsHandOnEveryOtherBlock) {
    MemoryReader reader(16);
    reader.runLength = 8;
    BlockMap used(16);
    for (std::uint64_t i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 14, 15})
        used.setBit(i);
    blocks::BlockSumManager sums(test::blockSumDir(), "Disk 0 Partition 0", 16);
    for (std::uint64_t i : {5, 6, 7, 8, 9, 14, 15})
        sums.addDigest(i, reader.readBlock(i)->getDigest());
    Received received = run({&reader, &used, nullptr, &sums, nullptr}, {});
    EXPECT_EQ(indices(received), (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 12, 13}));
    EXPECT_EQ(result_.duplicatesSkipped, 7u);
    EXPECT_EQ(result_.blocksRead, 14u);
    EXPECT_EQ(reader.runs,
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 8}, {8, 2}, {12, 4}}));
}

TEST_F(BackupPipelineTest, UnknownTypesAreRefusedBeforeAnyBlockIsRead) {
    MemoryReader reader(10);
    BlockMap used = fullMap(10);
    EXPECT_THROW_MESSAGE(run({&reader, &used, nullptr, nullptr, nullptr}, {2, 6, 0}),
                         "Unkown compression type: 2");
    EXPECT_THROW_MESSAGE(run({&reader, &used, nullptr, nullptr, nullptr}, {0, 6, 3}),
                         "Unkown encryption type: 3");
    EXPECT_THROW_MESSAGE(run({&reader, &used, nullptr, nullptr, nullptr}, {1, 42, 0}),
                         "zip stream init failed");
    EXPECT_EQ(reader.reads, 0);
}

TEST_F(BackupPipelineTest, AFailingReaderFailsTheBackupOnce) {
    MemoryReader reader(600);
    reader.failAt = 400;
    BlockMap used = fullMap(600);
    EXPECT_THROW_MESSAGE(run({&reader, &used, nullptr, nullptr, nullptr}, {1, 6, 1}),
                         "Backup failed");
}

// A stop request while blocks are on their way ends the backup at once, as a shutdown.
TEST_F(BackupPipelineTest, AStopRequestEndsAManyWorkerBackupPromptly) {
    class StoppingReader : public MemoryReader {
      public:
        using MemoryReader::MemoryReader;
        std::shared_ptr<Block> readBlock(std::uint64_t index) override {
            if (index == 300)
                runtime::runningFlag().store(0);
            return MemoryReader::readBlock(index);
        }
    };
    StoppingReader reader(100000);
    BlockMap used = fullMap(100000);
    blocks::BackupPipelineSettings settings{1, 6, 1};
    settings.workers = 3;
    EXPECT_THROW(run({&reader, &used, nullptr, nullptr, nullptr}, settings),
                 runtime::ShutdownException);
    runtime::runningFlag().store(1);
    EXPECT_LT(reader.reads.load(), 400);
}

TEST_F(BackupPipelineTest, ASlowReaderMakesTheSenderSendKeepAlives) {
    MemoryReader reader(3);
    reader.delay = std::chrono::milliseconds(400);
    BlockMap used = fullMap(3);
    blocks::BackupPipelineSettings settings;
    settings.keepAliveInterval = std::chrono::milliseconds(50);
    Received received = run({&reader, &used, nullptr, nullptr, nullptr}, settings);
    EXPECT_GE(received.keepAlivesBeforeFirstBatch, 2);
    EXPECT_EQ(received.blocks.size(), 3u);
}

}  // namespace
