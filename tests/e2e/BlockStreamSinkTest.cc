// The checks of a backup block stream, fed by hand over a loopback connection, without a
// sink (the null target) and into one. (The null target's counts of a sound stream are
// BackupTest's, through the real agent.)
#include "backup-server/session/BlockStreamReceiver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "blocks/Block.h"
#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
#include "net/SocketPair.h"
#include "runtime/Exceptions.h"

namespace {

constexpr std::uint32_t kSize = 4096;

// Keeps the numbers of the blocks it is given.
class RecordingSink : public backup_server::BlockSink {
  public:
    std::uint32_t blockSize() const override { return kSize; }
    void writeBlock(std::uint64_t index, const unsigned char* data,
                    const blocks::BlockDigest&) override {
        EXPECT_EQ(data[0], static_cast<unsigned char>(index));
        written.push_back(index);
    }
    std::vector<std::uint64_t> written;
};

class BlockStreamSinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::SocketPair pair;
        agent_ = std::move(pair.far);
        session_ = std::make_unique<backup_server::AgentSession>(std::move(pair.near));
        used_.setBit(1);
        used_.setBit(2);
        used_.setBit(5);
    }

    // One batch as the agent sends it, after its announcement. The block numbered damaged
    // differs from the MD5 its record names, though the batch's digest covers it as sent.
    void send(const std::vector<std::uint64_t>& indices, bool corrupt = false,
              std::uint64_t damaged = ~std::uint64_t{0}) {
        std::string unit("\xE1\xE7\xEA\xEE", 4);
        blocks::Md5Stream digest;
        for (std::uint64_t index : indices) {
            auto data = std::make_shared<unsigned char[]>(kSize);
            data[0] = static_cast<unsigned char>(index);
            blocks::Block block(index, kSize, data, kSize, false, false);
            block.computeDigest();
            data[1] ^= index == damaged ? 1 : 0;
            auto header = blocks::encodeBlockRecordHeader(block);
            digest.update(header.data(), header.size());
            digest.update(data.get(), kSize);
            unit.append(reinterpret_cast<const char*>(header.data()), header.size());
            unit.append(reinterpret_cast<const char*>(data.get()), kSize);
        }
        if (corrupt)
            unit.back() = static_cast<char>(unit.back() ^ 1);
        auto sum = digest.finish();
        unit.append("\xE1\xE7\xEA\xEF", 4).append(reinterpret_cast<const char*>(sum.data()), 16);
        agent_->sendAll(unit.data(), static_cast<std::int64_t>(unit.size()));
    }

    std::string failure(backup_server::BlockStreamReceiver& sink, std::uint32_t count) {
        try {
            sink.receiveBatch(count);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }

    blocks::BlockMap used_{8};
    std::unique_ptr<net::TcpSocket> agent_;
    std::unique_ptr<backup_server::AgentSession> session_;
};

TEST_F(BlockStreamSinkTest, RefusesOrderUnusedBlocksAndDamage) {
    {
        backup_server::BlockStreamReceiver sink(*session_, used_, kSize, false);
        send({2});
        sink.receiveBatch(1);
        send({1});
        EXPECT_NE(failure(sink, 1).find("block #1 after block #2"), std::string::npos);
    }
    SetUp();
    {
        backup_server::BlockStreamReceiver sink(*session_, used_, kSize, false);
        send({3});
        EXPECT_NE(failure(sink, 1).find("block #3 is not a used block"), std::string::npos);
    }
    SetUp();
    {
        backup_server::BlockStreamReceiver sink(*session_, used_, kSize, false);
        send({1, 2}, true);
        EXPECT_NE(failure(sink, 2).find("batch digest mismatch"), std::string::npos);
        EXPECT_NE(failure(sink, 0).find("batch of 0 blocks"), std::string::npos);
    }
}

// Into a sink each block is also checked against its own MD5: a block damaged before its
// batch was framed passes the batch's digest and is still refused, and no block after it
// reaches the sink.
TEST_F(BlockStreamSinkTest, IntoASinkEachBlockMustMatchItsMd5) {
    RecordingSink sink;
    backup_server::BlockStreamReceiver receiver(*session_, sink, used_, nullptr);
    send({1});
    receiver.receiveBatch(1);
    send({2, 5}, false, 2);
    EXPECT_NE(failure(receiver, 2).find("block #2 does not match its MD5"), std::string::npos);
    EXPECT_EQ(sink.written, std::vector<std::uint64_t>{1});
}

}  // namespace
