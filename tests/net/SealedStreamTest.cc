// Protocol version 2's plain stream over a real socket pair: what a short or long message
// sends arrives as the same fields, whatever the sealed units' boundaries; a bare unit or
// raw bytes where a sealed unit is part-read are refused; so is a unit sent twice.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "SocketPair.h"
#include "crypto/SecureChannel.h"
#include "net/EncryptedMessage.h"
#include "net/ProtocolStream.h"
#include "net/SealedUnits.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace {

class SealedStreamTest : public ::testing::Test {
  protected:
    SealedStreamTest() : sender(pair.far.get()), receiver(pair.near.get()) {
        sender.setChannel(std::make_unique<crypto::SecureChannel>(std::string(32, 's'),
                                                                  std::string(32, 'h'), true));
        receiver.setChannel(std::make_unique<crypto::SecureChannel>(std::string(32, 's'),
                                                                    std::string(32, 'h'), false));
    }

    void sendRaw(const std::string& bytes) {
        pair.far->sendAll(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    }

    std::string refusal(const std::function<void()>& read) {
        try {
            read();
        } catch (const runtime::AgentException& error) {
            return error.message();
        }
        return "(nothing thrown)";
    }

    test::SocketPair pair;
    net::ProtocolStream sender;
    net::ProtocolStream receiver;
};

TEST_F(SealedStreamTest, FieldsCrossUnitBoundariesAndMessagesKeepTheirPlace) {
    // A long message: a unit per write, the bulk cut into pieces of kMaxSealedPiece.
    std::string bulk(net::kMaxSealedPiece + 100, '\0');
    for (std::size_t i = 0; i < bulk.size(); ++i)
        bulk[i] = static_cast<char>(i * 7);
    {
        net::LongMessage map(pair.far.get(), sender.channel());
        map.writeCode(net::PROT_BACKUP_BLOCK_MAP);
        map.write32(static_cast<std::uint32_t>(bulk.size()));
        map.writeBytes(bulk);
    }
    crypto::KeyMsg key(1, std::string(16, 'k'), std::string(8, 'i'));
    net::EncryptedMessage reply(sender, key);
    reply.write32(net::PROT_ACK);
    reply.send();
    sender.sendCode(net::PROT_KEEPALIVE).write64(0x0102030405060708ull).flush();

    EXPECT_EQ(receiver.readCode(), net::PROT_BACKUP_BLOCK_MAP);
    std::string received(receiver.read32(), '\0');
    receiver.readBytes(received.data(), static_cast<std::int64_t>(received.size()));
    EXPECT_TRUE(received == bulk);
    EXPECT_EQ(receiver.readCode(), net::PROT_ENCRYPTED);
    net::EncryptedMessage opened(receiver, key);
    opened.receive();
    EXPECT_EQ(opened.read32(), net::PROT_ACK);
    EXPECT_EQ(receiver.readCode(), net::PROT_KEEPALIVE);
    EXPECT_EQ(receiver.read64(), 0x0102030405060708ull);
}

TEST_F(SealedStreamTest, BareUnitsPartReadUnitsAndReplaysAreRefused) {
    std::string bare;
    platform::appendBigEndian(bare, net::PROT_KEEPALIVE, 4);
    sendRaw(bare);
    EXPECT_EQ(refusal([&] { receiver.readCode(); }),
              "Protocol error.  Unsealed unit (0xe1e7e5f9) in protocol version 2");

    // A unit whose fields were not all read: the block records may not follow it.
    sender.sendCode(net::PROT_BLOCK_STREAM).write32(7).flush();
    EXPECT_EQ(receiver.readCode(), net::PROT_BLOCK_STREAM);
    unsigned char header[4];
    EXPECT_EQ(refusal([&] { receiver.readRawBytes(header, sizeof header); }),
              "Protocol error.  Unsealed bytes where a sealed unit had (4) bytes left");
    receiver.read32();

    // The same sealed unit twice: the second is not the next one the sender sealed.
    std::string unit;
    {
        std::lock_guard<std::mutex> lock(sender.channel()->sendLock());
        std::string plain;
        platform::appendBigEndian(plain, net::PROT_KEEPALIVE, 4);
        net::appendSealedUnits(unit, *sender.channel(), plain);
    }
    sendRaw(unit + unit);
    EXPECT_EQ(receiver.readCode(), net::PROT_KEEPALIVE);
    EXPECT_EQ(refusal([&] { receiver.readCode(); }).rfind("Secure channel: message 2 is not", 0),
              0u);
}

}  // namespace
