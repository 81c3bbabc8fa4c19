// Encrypted messages over a real connection: typed fields survive the round trip, and
// hostile lengths or short plain texts fail with their texts before anything is allocated.
#include <gtest/gtest.h>

#include <string>

#include "SocketPair.h"
#include "crypto/CryptoLibrary.h"
#include "net/EncryptedMessage.h"
#include "runtime/Exceptions.h"

namespace {

class EncryptedMessageTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { crypto::CryptoLibrary::initialise(); }

    test::SocketPair pair;
    Net::ProtocolStream sender{pair.far.get()};
    Net::ProtocolStream receiver{pair.near.get()};
    crypto::KeyMsg key{1, 128};
};

std::string agentError(Net::EncryptedMessage& message, void (*body)(Net::EncryptedMessage&)) {
    try {
        body(message);
    } catch (const runtime::AgentException& error) {
        return error.message();
    }
    return "(nothing thrown)";
}

TEST_F(EncryptedMessageTest, TypedFieldsSurviveTheRoundTrip) {
    Net::EncryptedMessage out(sender, key);
    out.write8(7)
        .write16(0xBEEF)
        .write32(Net::PROT_REQ_ECHO)
        .write64(4294967298ULL)
        .writeString("abc")
        .writeKey(key);
    out.send();

    Net::EncryptedMessage in(receiver, key);
    in.receiveExpected();
    EXPECT_EQ(in.read8(), 7);
    EXPECT_EQ(in.read16(), 0xBEEF);
    EXPECT_EQ(in.read32(), Net::PROT_REQ_ECHO);
    EXPECT_EQ(in.read64(), 4294967298ULL);
    EXPECT_EQ(in.readString(), "abc");
    EXPECT_EQ(in.readKey(), key);
    EXPECT_TRUE(in.atEnd());
}

TEST_F(EncryptedMessageTest, ShortPlainTextUnderrunsAndStaysFailed) {
    Net::EncryptedMessage message(receiver, key);
    message.setPlainText(std::string("\x00\x00\x01", 3));
    auto read32 = [](Net::EncryptedMessage& m) { m.read32(); };
    auto read8 = [](Net::EncryptedMessage& m) { m.read8(); };
    EXPECT_EQ(agentError(message, read32),
              "Buffer underrun when attempting to read (4) bytes from encrypted message buffer");
    EXPECT_EQ(agentError(message, read8),
              "Buffer underrun when attempting to read (1) bytes from encrypted message buffer");
}

TEST_F(EncryptedMessageTest, HostileStringLengthIsAnUnderrunNotAnAllocation) {
    Net::EncryptedMessage message(receiver, key);
    message.setPlainText(std::string("\xFF\xFF\xFF\xF0xyz", 7));
    auto readString = [](Net::EncryptedMessage& m) { m.readString(); };
    EXPECT_EQ(
        agentError(message, readString),
        "Buffer underrun when attempting to read (4294967280) bytes from encrypted message buffer");
}

TEST_F(EncryptedMessageTest, OversizedCiphertextIsRefusedBeforeItIsRead) {
    Net::ShortMessage unit(pair.far.get());
    unit.write32(0x7FFFFFF8);
    unit.flush();
    Net::EncryptedMessage message(receiver, key);
    auto receive = [](Net::EncryptedMessage& m) { m.receive(); };
    EXPECT_EQ(agentError(message, receive)
                  .rfind("received invalid encrypted message from host: ciphertext length", 0),
              0u);
}

TEST_F(EncryptedMessageTest, CiphertextUnderAnotherKeyIsNeverHandedOn) {
    Net::EncryptedMessage out(sender, crypto::KeyMsg(1, 128));
    out.write32(Net::PROT_REQ_ECHO);
    out.send();
    Net::EncryptedMessage in(receiver, key);
    auto receive = [](Net::EncryptedMessage& m) { m.receiveExpected(); };
    std::string error = agentError(in, receive);
    EXPECT_NE(error, "(nothing thrown)");
    EXPECT_TRUE(in.plainText().empty());
}

}  // namespace
