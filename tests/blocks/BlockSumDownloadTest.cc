#include "blocks/BlockSumDownload.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BlocksTestSupport.h"
#include "net/Codes.h"
#include "net/EncryptedMessage.h"
#include "net/TcpListener.h"
#include "platform/Socket.h"

namespace {

using blocks::BlockDigest;

// The agent's and the server's ends of one loopback connection. The server's whole part
// is written before the agent reads it (it is small enough for the socket buffers), so
// one thread plays both sides.
class DownloadTest : public ::testing::Test {
  protected:
    DownloadTest() {
        listener_.bind(platform::kLoopbackAddress, 0);
        listener_.listen();
        serverSide_ = net::TcpSocket::connectTo("127.0.0.1", listener_.localPort(), 160);
        agentSide_ = listener_.accept(160);
        agent_ = std::make_unique<net::ServerConnection>(agentSide_.get());
        server_ = std::make_unique<net::ProtocolStream>(serverSide_.get());
    }

    void announce(std::uint32_t batchSize) {
        server_->sendCode(net::PROT_ACK).flush();
        net::EncryptedMessage announcement(*server_, agent_->protocolKey());
        announcement.write32(1).write64(2).write32(batchSize);
        announcement.send();
    }
    void batch(const std::vector<std::uint32_t>& blocks, std::uint32_t count) {
        auto message = server_->sendCode(net::PROT_BLOCKSUMS);
        message.write32(count);
        for (std::uint32_t block : blocks) {
            message.write32(block);
            std::string digest(16, static_cast<char>(block));
            message.write(digest.data(), 16);
        }
        message.writeCode(net::PROT_BLOCKSUMS_DIGEST);
        message.write(std::string(16, '\0').data(), 16);
    }
    void batch(const std::vector<std::uint32_t>& blocks) {
        batch(blocks, static_cast<std::uint32_t>(blocks.size()));
    }
    void end() { server_->sendCode(net::PROT_BLOCKSUMS_END).flush(); }

    // What the agent sent: the request, then one acknowledgement per batch.
    int acknowledgements() {
        net::EncryptedMessage request(*server_, agent_->protocolKey());
        request.receiveExpected();
        EXPECT_EQ(net::PROT_BLOCKSUMS_REQUEST, request.read32());
        agentSide_->shutdownSend();
        int count = 0;
        try {
            for (;;) {
                EXPECT_EQ(net::PROT_BLOCKSUMS_ACK, server_->readCode());
                ++count;
            }
        } catch (const std::exception&) {
            // the agent's side ended
        }
        return count;
    }

    static bool listed(blocks::BlockSumManager& manager, std::uint64_t index) {
        blocks::Block block(index, 512);
        BlockDigest digest;
        digest.fill(static_cast<unsigned char>(index));
        block.setDigest(digest);
        return manager.isBlockDuplicate(block);
    }

    net::TcpListener listener_;
    std::unique_ptr<net::TcpSocket> serverSide_, agentSide_;
    std::unique_ptr<net::ServerConnection> agent_;
    std::unique_ptr<net::ProtocolStream> server_;
    blocks::BlockSumManager manager_{test::blockSumDir(), "Disk 1 Partition 2", 100};
};

TEST_F(DownloadTest, BatchesFillTheManagerAndAreAcknowledged) {
    announce(3);
    batch({1, 5, 9});
    batch({10, 99});
    end();
    blocks::downloadBlockSums(*agent_, manager_);
    EXPECT_EQ(5u, manager_.digestCount());
    EXPECT_TRUE(listed(manager_, 9));
    EXPECT_TRUE(listed(manager_, 99));
    EXPECT_FALSE(listed(manager_, 2));
    EXPECT_EQ(2, acknowledgements());
}

TEST_F(DownloadTest, BatchLargerThanAnnouncedIsRefusedBeforeReading) {
    announce(2);
    batch({}, 0xFFFFFFFF);
    EXPECT_THROW_MESSAGE(
        blocks::downloadBlockSums(*agent_, manager_),
        "Block sum batch of (4294967295) digests exceeds the announced batch size (2)");
    EXPECT_EQ(0u, manager_.digestCount());
}

}  // namespace
