// The sink's checks of a backup block stream, fed by hand over a loopback connection. (Its
// counts of a sound stream are BackupTest's, through the real agent.)
#include "backup-server/session/BlockStreamSink.h"

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

    // One batch as the agent sends it, after its announcement.
    void send(const std::vector<std::uint64_t>& indices, bool corrupt = false) {
        std::string unit("\xE1\xE7\xEA\xEE", 4);
        blocks::Md5Stream digest;
        for (std::uint64_t index : indices) {
            auto data = std::make_shared<unsigned char[]>(kSize);
            blocks::Block block(index, kSize, data, kSize, false, false);
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

    std::string failure(backup_server::BlockStreamSink& sink, std::uint32_t count) {
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
        backup_server::BlockStreamSink sink(*session_, used_, kSize, false);
        send({2});
        sink.receiveBatch(1);
        send({1});
        EXPECT_NE(failure(sink, 1).find("block #1 after block #2"), std::string::npos);
    }
    SetUp();
    {
        backup_server::BlockStreamSink sink(*session_, used_, kSize, false);
        send({3});
        EXPECT_NE(failure(sink, 1).find("block #3 is not a used block"), std::string::npos);
    }
    SetUp();
    {
        backup_server::BlockStreamSink sink(*session_, used_, kSize, false);
        send({1, 2}, true);
        EXPECT_NE(failure(sink, 2).find("batch digest mismatch"), std::string::npos);
        EXPECT_NE(failure(sink, 0).find("batch of 0 blocks"), std::string::npos);
    }
}

}  // namespace
