// The restore side of the block stream: the partition writer on an in-memory device, and
// the whole restore pipeline fed by a server played over a loopback connection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "BlocksTestSupport.h"
#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
#include "blocks/RestorePipeline.h"
#include "blocks/ZlibStreams.h"
#include "common/TestBytes.h"
#include "net/EncryptedMessage.h"
#include "net/TcpListener.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/Socket.h"
#include "platform/System.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using blocks::Block;
using blocks::BlockPtr;

// What a device saw; it outlives the device, which the partition closes (destroys).
struct DeviceLog {
    std::map<std::uint64_t, std::string> writes;
    std::vector<std::uint64_t> seekTargets;
    std::uint32_t shortBy = 0;
    bool failWrites = false;
    std::vector<std::uint32_t> failFirstWith;  // errors of the first writes, in order
    std::size_t writeCalls = 0;
    std::uint32_t sector = 0;          // answers the drive geometry when set
    std::uint32_t physicalSector = 0;  // answers the access alignment when set
    std::vector<std::uintptr_t> writeBuffers;

    // The bytes written at offset, whichever write they came with ("" when none).
    std::string at(std::uint64_t offset, std::size_t length) const {
        for (const auto& [start, bytes] : writes) {
            if (start <= offset && offset + length <= start + bytes.size())
                return bytes.substr(offset - start, length);
        }
        return "";
    }
};

// A device that keeps what is written at each offset and counts seeks; it may write
// short or fail.
class MemoryDevice : public test::FakeDevice {
  public:
    explicit MemoryDevice(std::shared_ptr<DeviceLog> log) : log_(std::move(log)) {}
    bool write(const void* buffer, std::uint32_t size, std::uint32_t* written) override {
        log_->writeBuffers.push_back(reinterpret_cast<std::uintptr_t>(buffer));
        if (log_->failWrites) {
            platform::setLastError(platform::kErrorWriteFault);
            return false;
        }
        if (log_->writeCalls < log_->failFirstWith.size()) {
            platform::setLastError(log_->failFirstWith[log_->writeCalls++]);
            position += 512;  // a failed write may leave the position anywhere
            return false;
        }
        ++log_->writeCalls;
        *written = log_->shortBy < size ? size - log_->shortBy : 0;
        log_->writes[position].assign(static_cast<const char*>(buffer), *written);
        position += *written;
        return true;
    }
    bool seek(std::int64_t distance, std::uint32_t method, std::uint64_t* newPosition) override {
        log_->seekTargets.push_back(static_cast<std::uint64_t>(distance));
        return FakeDevice::seek(distance, method, newPosition);
    }
    bool ioControl(std::uint32_t code, const void*, std::uint32_t, void* out, std::uint32_t outSize,
                   std::uint32_t* returned) override {
        if (code == platform::kIoctlDiskGetDriveGeometry && log_->sector != 0 &&
            outSize >= sizeof(platform::DiskGeometry)) {
            platform::DiskGeometry geometry{0, platform::kMediaTypeFixed, 255, 63, log_->sector};
            std::memcpy(out, &geometry, sizeof geometry);
            *returned = sizeof geometry;
            return true;
        }
        if (code == platform::kIoctlStorageQueryProperty && log_->physicalSector != 0 &&
            outSize >= sizeof(platform::StorageAccessAlignmentDescriptor)) {
            platform::StorageAccessAlignmentDescriptor reply{};
            reply.bytesPerLogicalSector = log_->sector;
            reply.bytesPerPhysicalSector = log_->physicalSector;
            std::memcpy(out, &reply, sizeof reply);
            *returned = sizeof reply;
            return true;
        }
        return false;
    }

  private:
    std::shared_ptr<DeviceLog> log_;
};

struct PartitionOnMemory {
    std::shared_ptr<DeviceLog> device = std::make_shared<DeviceLog>();
    std::unique_ptr<blocks::RestorePartition> partition;

    explicit PartitionOnMemory(std::uint64_t length, std::uint64_t offset = 0)
        : partition(std::make_unique<blocks::RestorePartition>(
              platform::FileHandle(std::make_unique<MemoryDevice>(device)), offset, length)) {}
};

using test::randomBytes;

BlockPtr plainBlock(std::uint64_t index, const std::string& data) {
    auto buffer = std::make_shared<unsigned char[]>(data.size());
    std::memcpy(buffer.get(), data.data(), data.size());
    auto block =
        std::make_shared<Block>(index, data.size(), std::move(buffer), data.size(), false, false);
    block->computeDigest();
    return block;
}

TEST(RestorePartitionTest, GathersConsecutiveBlocksIntoOneWriteWithoutSeeks) {
    PartitionOnMemory target(1 << 20, 8192);
    for (std::uint64_t index : {5, 6, 7})
        target.partition->writeBlock(*plainBlock(index, std::string(4096, char('a' + index))));
    EXPECT_TRUE(target.device->writes.empty());  // gathered, not yet written
    target.partition->flush();
    EXPECT_EQ(target.device->seekTargets, (std::vector<std::uint64_t>{8192 + 5 * 4096}));
    EXPECT_EQ(target.device->writes.at(8192 + 5 * 4096),
              std::string(4096, 'f') + std::string(4096, 'g') + std::string(4096, 'h'));
    EXPECT_EQ(target.partition->blocksWritten(), 3u);
    for (std::uint64_t index : {8, 7, 5})
        target.partition->writeBlock(*plainBlock(index, std::string(4096, char('0' + index))));
    target.partition->close();
    // 8 continues where the device stands; 7 and 5 each need a seek of their own.
    EXPECT_EQ(target.device->seekTargets,
              (std::vector<std::uint64_t>{8192 + 5 * 4096, 8192 + 7 * 4096, 8192 + 5 * 4096}));
    EXPECT_EQ(target.device->writes.at(8192 + 8 * 4096), std::string(4096, '8'));
    EXPECT_EQ(target.device->writes.at(8192 + 5 * 4096), std::string(4096, '5'));
    EXPECT_EQ(target.partition->blocksWritten(), 6u);
}

TEST(RestorePartitionTest, GatheredWritesStayBounded) {
    PartitionOnMemory target(4 << 20);
    std::uint64_t perWrite = blocks::RestorePartition::kGatherBytes / 4096;
    for (std::uint64_t index = 0; index < perWrite + 1; ++index)
        target.partition->writeBlock(*plainBlock(index, std::string(4096, 'b')));
    target.partition->close();
    ASSERT_EQ(target.device->writes.size(), 2u);
    EXPECT_EQ(target.device->writes.at(0).size(), blocks::RestorePartition::kGatherBytes);
    EXPECT_EQ(target.device->writes.at(blocks::RestorePartition::kGatherBytes).size(), 4096u);
}

TEST(RestorePartitionTest, SeeksPastFourGibibytes) {
    PartitionOnMemory target(std::uint64_t{16} << 30);
    target.partition->writeBlock(*plainBlock(1048576, std::string(4096, 'x')));  // 4 GiB
    // A one-byte block whose offset has all ones in its low half: the seek's "invalid"
    // result is then a valid position, told apart by the last error.
    target.partition->writeBlock(*plainBlock(0xFFFFFFFF, "y"));
    target.partition->flush();
    EXPECT_EQ(target.device->seekTargets,
              (std::vector<std::uint64_t>{std::uint64_t{1} << 32, 0xFFFFFFFFu}));
    EXPECT_EQ(target.device->writes.count(std::uint64_t{1} << 32), 1u);
    EXPECT_EQ(target.device->writes.at(0xFFFFFFFFu), "y");
}

TEST(RestorePartitionTest, RefusesBlocksItMustNotWriteBeforeWritingAnything) {
    const std::uint64_t length = 64 * 4096;
    auto compressed = plainBlock(1, std::string(4096, '\0'));
    blocks::DeflateStream deflate(6);
    compressed->deflate(deflate);
    auto encrypted = std::make_shared<Block>(2, 4096, std::make_shared<unsigned char[]>(4104), 4104,
                                             false, true);
    auto shortBlock =
        std::make_shared<Block>(3, 4096, std::make_shared<unsigned char[]>(100), 100, false, false);
    struct Case {
        BlockPtr block;
        const char* message;
    } cases[] = {
        {plainBlock(64, std::string(4096, 'p')),
         "Writing block #64 of size (4096) to would write outside of partition range"},
        {plainBlock(std::uint64_t{1} << 62, std::string(4096, 'o')), "Writing block #"},
        {plainBlock(0, std::string(length * 2, 'l')), "Writing block #0 of size (524288)"},
        {compressed, "Block data was not uncompressed before attempting to write to disk"},
        {encrypted, "Block data was not decrypted before attempting to write to disk"},
        {shortBlock, "Block #3 holds 100 bytes instead of its size (4096); not written"},
    };
    for (const auto& test : cases) {
        PartitionOnMemory target(length);
        EXPECT_THROW_MESSAGE(target.partition->writeBlock(*test.block), test.message);
        target.partition->close();
        EXPECT_TRUE(target.device->writes.empty()) << test.message;
    }
}

// Blocks are gathered in a buffer aligned as the device asks (its physical sector when it
// reports its access alignment, else its sector, at least a page); a block size that is
// not whole sectors is refused before anything is written.
TEST(RestorePartitionTest, AlignsToWhatTheDeviceReportsAndRefusesPartSectorBlocks) {
    struct Case {
        std::uint32_t sector;
        std::uint32_t physicalSector;
        std::uint32_t blockSize;
        std::size_t alignment;
    } cases[] = {{512, 0, 4096, 4096},
                 {512, 4096, 512, 4096},
                 {4096, 16384, 65536, 16384},
                 {8192, 0, 8192, 8192},
                 {4096, 6144, 4096, 4096}};
    for (const Case& test : cases) {
        SCOPED_TRACE(std::to_string(test.sector) + "/" + std::to_string(test.physicalSector));
        PartitionOnMemory target(1 << 20);
        target.device->sector = test.sector;
        target.device->physicalSector = test.physicalSector;
        target.partition->prepareFor(test.blockSize);
        EXPECT_EQ(target.partition->bufferAlignment(), test.alignment);
        target.partition->writeBlock(*plainBlock(1, std::string(test.blockSize, 'a')));
        target.partition->close();
        ASSERT_EQ(target.device->writeBuffers.size(), 1u);
        EXPECT_EQ(target.device->writeBuffers[0] % test.alignment, 0u);
    }
    PartitionOnMemory large(1 << 20);
    large.device->sector = 4096;
    EXPECT_THROW_MESSAGE(large.partition->prepareFor(2048),
                         "Block size (2048) is not a multiple of the target's sector size (4096); "
                         "nothing was written");
    PartitionOnMemory silent(1 << 20);
    EXPECT_THROW_MESSAGE(silent.partition->prepareFor(4096),
                         "Could not read the sector size of the target");
    EXPECT_TRUE(large.device->writes.empty() && silent.device->writes.empty());
}

TEST(RestorePartitionTest, ReportsShortAndFailedWrites) {
    PartitionOnMemory shortWrite(1 << 20);
    shortWrite.device->shortBy = 96;
    shortWrite.partition->writeBlock(*plainBlock(0, std::string(4096, 's')));
    shortWrite.partition->writeBlock(*plainBlock(1, std::string(4096, 's')));
    EXPECT_THROW_MESSAGE(
        shortWrite.partition->close(),
        "Failed to write block to disk. Meant to write (8192 bytes, but wrote (8096) bytes.");
    EXPECT_FALSE(shortWrite.partition->isOpen());
    EXPECT_EQ(shortWrite.partition->blocksWritten(), 0u);
    PartitionOnMemory failing(1 << 20);
    failing.device->failWrites = true;
    failing.partition->writeBlock(*plainBlock(0, std::string(4096, 'f')));
    EXPECT_THROW_MESSAGE(
        failing.partition->writeBlock(*plainBlock(9, std::string(4096, 'f'))),
        "Failed to write block to disk. " +
            platform::toNarrow(platform::formatMessage(platform::kErrorWriteFault)).substr(0, 10));
    failing.partition->close();
    EXPECT_TRUE(failing.device->writes.empty());
    EXPECT_THROW_MESSAGE(failing.partition->writeBlock(*plainBlock(1, std::string(4096, 'c'))),
                         "Unable to seek to disk offset: 4096");
}

TEST(RestorePartitionTest, TransientWriteErrorsAreRetriedAtTheSamePlace) {
    PartitionOnMemory target(1 << 20, 8192);
    target.device->failFirstWith = {platform::kErrorCrc, platform::kErrorIoDevice};
    test::LogCapture log;
    target.partition->writeBlock(*plainBlock(2, std::string(4096, 'r')));
    target.partition->flush();
    EXPECT_EQ(target.device->seekTargets, (std::vector<std::uint64_t>(3, 8192 + 2 * 4096)));
    EXPECT_EQ(target.device->writes.at(8192 + 2 * 4096), std::string(4096, 'r'));
    EXPECT_EQ(target.partition->blocksWritten(), 1u);
    EXPECT_TRUE(log.contains("Successfully wrote at disk offset 16384 after 3 tries."));

    // Three transient failures, or one that is not transient, fail the write.
    for (auto errors : {std::vector<std::uint32_t>(3, platform::kErrorSemTimeout),
                        std::vector<std::uint32_t>{platform::kErrorWriteFault}}) {
        PartitionOnMemory failing(1 << 20);
        failing.device->failFirstWith = errors;
        failing.partition->writeBlock(*plainBlock(0, std::string(4096, 'f')));
        EXPECT_THROW_MESSAGE(failing.partition->flush(), "Failed to write block to disk. ");
        EXPECT_EQ(failing.device->writeCalls, errors.size());
        EXPECT_TRUE(failing.device->writes.empty());
    }
}

// Both ends of a loopback connection: the agent's, read by the pipeline, and the
// server's, written by the test.
class RestorePipelineTest : public ::testing::Test {
  protected:
    static constexpr std::uint32_t kBlockSize = 4096;

    void SetUp() override {
        net::TcpListener listener;
        listener.bind(platform::kLoopbackAddress, 0);
        listener.listen();
        serverSocket_ = net::TcpSocket::connectTo("127.0.0.1", listener.localPort(), 160);
        agentSocket_ = listener.accept(160);
        server_ = std::make_unique<net::ProtocolStream>(serverSocket_.get());
        agent_ = std::make_unique<net::ProtocolStream>(agentSocket_.get());
        agentMessage_ = std::make_unique<net::EncryptedMessage>(*agent_, protocolKey_);
    }

    // Runs the pipeline on its own thread, as the request's thread does.
    std::future<blocks::RestoreStreamResult> startRestore(const blocks::BlockStreamFormat& format,
                                                          std::optional<crypto::KeyMsg> key = {}) {
        return std::async(std::launch::async, [this, format, key] {
            test::LogCapture capture;
            auto result = blocks::receiveBlockStream(*agent_, *agentMessage_, format, key,
                                                     *target_.partition, workers_);
            agentLog_ = capture.text();
            return result;
        });
    }

    void announce(net::Code code, std::uint16_t count) {
        net::EncryptedMessage message(*server_, protocolKey_);
        message.write32(code).write16(count);
        message.send();
    }

    void sendBatch(const std::vector<BlockPtr>& batch, bool corrupt = false) {
        announce(net::PROT_BLOCKS, static_cast<std::uint16_t>(batch.size()));
        std::string unit("\xE1\xE7\xEA\xEE", 4);
        blocks::Md5Stream digest;
        for (const auto& block : batch) {
            auto header = blocks::encodeBlockRecordHeader(*block);
            std::string data(reinterpret_cast<const char*>(block->getData()), block->length());
            digest.update(header.data(), header.size());
            digest.update(data.data(), data.size());
            unit.append(reinterpret_cast<const char*>(header.data()), header.size()).append(data);
        }
        if (corrupt)
            unit.back() = static_cast<char>(unit.back() ^ 0x40);
        auto sum = digest.finish();
        unit.append("\xE1\xE7\xEA\xEF", 4).append(reinterpret_cast<const char*>(sum.data()), 16);
        serverSocket_->sendAll(unit.data(), static_cast<std::int64_t>(unit.size()));
    }

    void endStream() {
        net::EncryptedMessage message(*server_, protocolKey_);
        message.write32(net::PROT_RESTORE_END).write32(0);
        message.send();
    }

    std::string written(std::uint64_t index) const {
        return target_.device->at(index * kBlockSize, kBlockSize);
    }

    crypto::KeyMsg protocolKey_{1, 128};
    std::unique_ptr<net::TcpSocket> serverSocket_;
    std::unique_ptr<net::TcpSocket> agentSocket_;
    std::unique_ptr<net::ProtocolStream> server_;
    std::unique_ptr<net::ProtocolStream> agent_;
    std::unique_ptr<net::EncryptedMessage> agentMessage_;
    PartitionOnMemory target_{64 * kBlockSize};
    std::string agentLog_;
    std::uint32_t workers_ = 0;
};

TEST_F(RestorePipelineTest, DamagedBatchFailsBeforeAnyOfItIsWritten) {
    auto restore = startRestore({8, kBlockSize, false});
    sendBatch({plainBlock(0, randomBytes(kBlockSize, 1))});
    sendBatch(
        {plainBlock(1, randomBytes(kBlockSize, 2)), plainBlock(2, randomBytes(kBlockSize, 3))},
        true);
    blocks::RestoreStreamResult result = restore.get();
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(written(1), "");
    EXPECT_EQ(written(2), "");
    EXPECT_THAT(agentLog_,
                HasSubstr("Error while reading blocks from network: Block stream error: the "
                          "digest of batch 2 does not match its blocks"));
}

TEST_F(RestorePipelineTest, RefusesMalformedAnnouncements) {
    struct Case {
        net::Code code;
        std::uint16_t count;
        const char* message;
    } cases[] = {
        {net::PROT_BLOCKS, 0, "Block stream error: (0) invalid number of blocks in stream"},
        {net::PROT_BLOCKS, 9, "Block stream error: (9) invalid number of blocks in stream"},
        {net::PROT_ACK, 1, "Unexpected code (0xe1e7e5f1) during restore"},
    };
    for (const auto& test : cases) {
        SetUp();
        auto restore = startRestore({8, kBlockSize, false});
        announce(test.code, test.count);
        EXPECT_FALSE(restore.get().succeeded);
        EXPECT_THAT(agentLog_, HasSubstr(test.message));
        EXPECT_TRUE(target_.device->writes.empty());
    }
}

// The writer fails while the server sends nothing more: the receiver must not wait for
// the connection's time-out (160 seconds here), and only the writer reports a cause.
TEST_F(RestorePipelineTest, FailingWriterStopsTheReceiverWithoutWaitingForTheServer) {
    auto restore = startRestore({8, kBlockSize, false});
    sendBatch({plainBlock(64, std::string(kBlockSize, 'x'))});
    ASSERT_EQ(restore.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_FALSE(restore.get().succeeded);
    EXPECT_THAT(agentLog_, HasSubstr("Error while writing blocks from disk: Writing block #64"));
    EXPECT_THAT(agentLog_, Not(HasSubstr("Error while reading blocks from network")));
    EXPECT_TRUE(target_.device->writes.empty());
}

// One worker or many decipher and inflate: every block reaches its place and the partition
// is closed; a block that cannot be inflated fails the restore with the inflater's error and
// ends every stage.
TEST_F(RestorePipelineTest, EveryBlockReachesItsPlaceAndAFailingOneStopsEveryStage) {
    struct Run {
        std::uint32_t workers;
        bool damaged;
    };
    for (Run run : {Run{0, false}, Run{4, false}, Run{4, true}}) {
        SCOPED_TRACE(std::to_string(run.workers) + (run.damaged ? " damaged" : ""));
        const bool damaged = run.damaged;
        SetUp();
        target_ = PartitionOnMemory{64 * kBlockSize};
        workers_ = run.workers;
        crypto::KeyMsg key(1, 128);
        crypto::CipherContext cipher;
        blocks::DeflateStream deflate(6);
        std::map<std::uint64_t, std::string> plain;
        std::vector<BlockPtr> batch;
        for (std::uint64_t index = 0; index < 60; ++index) {
            plain[index] = index % 3 ? randomBytes(kBlockSize, unsigned(index))
                                     : std::string(kBlockSize, char(index));
            auto block = plainBlock(index, plain[index]);
            block->deflate(deflate);
            if (damaged && index == 30) {
                auto bytes = std::make_shared<unsigned char[]>(block->length());
                std::fill(bytes.get(), bytes.get() + block->length(), 0x5A);
                block = std::make_shared<blocks::Block>(30, kBlockSize, bytes, block->length(),
                                                        true, false);
            }
            block->encrypt(key, cipher);
            batch.push_back(block);
        }
        auto restore = startRestore({8, kBlockSize, true}, key);
        for (std::size_t first = 0; first < batch.size(); first += 8) {
            auto end =
                batch.begin() + static_cast<std::ptrdiff_t>(std::min(first + 8, batch.size()));
            sendBatch(
                std::vector<BlockPtr>(batch.begin() + static_cast<std::ptrdiff_t>(first), end));
        }
        endStream();
        ASSERT_EQ(restore.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        blocks::RestoreStreamResult result = restore.get();
        EXPECT_EQ(result.succeeded, !damaged) << agentLog_;
        if (!damaged) {
            EXPECT_EQ(result.batchesReceived, 8u);
            EXPECT_EQ(result.blocksWritten, 60u);
            for (const auto& [index, data] : plain)
                EXPECT_EQ(written(index), data) << index;
            EXPECT_FALSE(target_.partition->isOpen());
        } else {
            EXPECT_THAT(agentLog_, HasSubstr("Error while decompressing blocks"));
            EXPECT_EQ(written(30), "");
        }
    }
}

// The batch digest only proves that the records arrived as the server sent them; a block
// whose data is not the data its record's digest names (a flipped bit, or two payloads
// exchanged, with the batch digest made to fit) must fail the restore before anything of
// its batch reaches the disk, whether the blocks travel deflated, enciphered, both or
// neither.
TEST_F(RestorePipelineTest, BlockThatDoesNotMatchItsDigestFailsItsWholeBatch) {
    enum class Tamper { FlipBit, SwapPayloads };
    for (bool compressed : {false, true}) {
        for (bool encrypted : {false, true}) {
            for (Tamper tamper : {Tamper::FlipBit, Tamper::SwapPayloads}) {
                SCOPED_TRACE(std::string(compressed ? "deflated" : "raw") +
                             (encrypted ? " enciphered" : " plain") +
                             (tamper == Tamper::FlipBit ? " flip" : " swap"));
                SetUp();
                target_ = PartitionOnMemory{64 * kBlockSize};
                crypto::KeyMsg key(1, 128);
                crypto::CipherContext cipher;
                blocks::DeflateStream deflate(6);
                std::vector<std::string> plain;
                for (unsigned index = 0; index < 8; ++index) {
                    plain.push_back(std::string(kBlockSize / 2, char('a' + index)) +
                                    randomBytes(kBlockSize / 2, index + 100));
                }
                std::vector<std::string> sent = plain;
                if (tamper == Tamper::FlipBit)
                    sent[5][77] = static_cast<char>(sent[5][77] ^ 0x04);
                else
                    std::swap(sent[5], sent[6]);
                std::vector<BlockPtr> blocks;
                for (std::uint64_t index = 0; index < 8; ++index) {
                    auto block = plainBlock(index, sent[index]);
                    block->setDigest(plainBlock(index, plain[index])->getDigest());
                    if (compressed)
                        block->deflate(deflate);
                    if (encrypted)
                        block->encrypt(key, cipher);
                    blocks.push_back(block);
                }
                auto restore = startRestore({4, kBlockSize, encrypted},
                                            encrypted ? std::optional(key) : std::nullopt);
                sendBatch({blocks.begin(), blocks.begin() + 4});
                sendBatch({blocks.begin() + 4, blocks.end()});
                endStream();
                ASSERT_EQ(restore.wait_for(std::chrono::seconds(30)), std::future_status::ready);
                EXPECT_FALSE(restore.get().succeeded);
                EXPECT_THAT(agentLog_,
                            HasSubstr("block 5 (record 2 of batch 2) does not match its digest"));
                // The failing stage aborts the whole pipeline, so the batch before may or may
                // not have reached the disk; the failing batch never does.
                for (std::uint64_t index = 4; index < 8; ++index)
                    EXPECT_TRUE(written(index).empty()) << index;
            }
        }
    }
}

}  // namespace
