// Every malformed unit from a server ends that connection: the agent logs "Closing
// connection: " with the reason, sends it as a log record followed by PROT_ERROR, and goes
// on serving other and new connections.
#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "backup-server/Echo.h"
#include "crypto/CipherContext.h"
#include "crypto/Digest.h"
#include "util/BigEndian.h"

namespace {

class BadInputTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::prepareServerSide();
        test::AgentSettings settings;
        settings.timeoutSeconds = 3;
        agent = new test::AgentProcess(settings);
        agent->allowServer(test::serverKeys("first"));
        agent->start();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(agent->stop(), 0);
        delete agent;
    }

    void SetUp() override { bystander = agent->openSession(test::serverKeys("first")); }

    // The connection that went wrong is closed with reason; a connection opened before it
    // and a new one are still served.
    void expectClosedWith(backup_server::AgentSession& session, const std::string& reason) {
        std::string text = test::closingReason(session);
        EXPECT_EQ(text.rfind("Closing connection: " + reason, 0), 0u) << text;
        EXPECT_TRUE(agent->waitForLog("Closing connection: " + reason));
        if (!bystander)
            bystander = authenticated();
        EXPECT_TRUE(backup_server::sendEcho(*bystander));
        auto fresh = agent->openSession(test::serverKeys("first"));
        EXPECT_TRUE(backup_server::sendEcho(*fresh));
        fresh->finish();
        bystander->finish();
    }

    std::unique_ptr<backup_server::AgentSession> authenticated() {
        return agent->openSession(test::serverKeys("first"));
    }

    static void sendRaw(backup_server::AgentSession& session, const std::string& bytes) {
        session.socket()->sendAll(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    }

    static std::string code(net::Code value) {
        std::string bytes;
        util::appendU32(bytes, value);
        return bytes;
    }

    // PROT_ENCRYPTED and ciphertext of exactly the given sealed plain text.
    static std::string encryptedUnit(const crypto::KeyMsg& key, const std::string& sealed) {
        crypto::CipherContext context;
        EXPECT_TRUE(context.begin(key, crypto::CipherContext::Direction::encrypt));
        std::string out(sealed.size() + 16, '\0');
        std::size_t length = 0;
        std::size_t tail = 0;
        auto* at = reinterpret_cast<unsigned char*>(out.data());
        EXPECT_TRUE(context.update(reinterpret_cast<const unsigned char*>(sealed.data()),
                                   sealed.size(), at, length));
        EXPECT_TRUE(context.finish(at + length, tail));
        out.resize(length + tail);
        return code(net::PROT_ENCRYPTED) + [&] {
            std::string size;
            util::appendU32(size, static_cast<std::uint32_t>(out.size()));
            return size;
        }() + out;
    }

    static std::string sha1(const std::string& bytes) {
        auto digest = crypto::sha1(bytes);
        return std::string(reinterpret_cast<const char*>(digest->data()), digest->size());
    }

    static inline test::AgentProcess* agent = nullptr;
    std::unique_ptr<backup_server::AgentSession> bystander;
};

// One connection after another goes wrong, each in its own way; SetUp() opens the
// bystander that must outlive each of them.
TEST_F(BadInputTest, MalformedUnitsCloseOnlyTheirConnection) {
    const std::string reportedError =
        "Remote host has reported an error and closed the connection. (";
    auto wrongCode = agent->connect();
    wrongCode->readCodeExpect(net::PROT_VERSION);
    wrongCode->read32();
    sendRaw(*wrongCode, code(net::PROT_SERVER_OPTION) + code(0x00010020));
    expectClosedWith(*wrongCode, "Protocol version mismatch (");

    SetUp();
    auto error = agent->connect();
    error->readCodeExpect(net::PROT_VERSION);
    sendRaw(*error, code(net::PROT_ERROR));
    expectClosedWith(*error, reportedError);

    SetUp();
    auto oversized = agent->connect();
    oversized->readCodeExpect(net::PROT_VERSION);
    oversized->read32();
    sendRaw(*oversized, code(net::PROT_VERSION) + code(0x00010020));
    oversized->readCodeExpect(net::PROT_SERVER_OPTION);
    oversized->read32();
    sendRaw(*oversized, code(net::PROT_SERVER_OPTION) + code(0));
    oversized->readCodeExpect(net::PROT_GET_PUBLIC_KEY);
    sendRaw(*oversized, code(net::PROT_PUBLIC_KEY) + code(100000));
    expectClosedWith(
        *oversized,
        "String of (100000) bytes from remote host exceeds the limit of (65536) bytes (");

    SetUp();
    auto truncated = authenticated();
    sendRaw(*truncated, code(net::PROT_ENCRYPTED) + code(40) + std::string(10, 'x'));
    truncated->socket()->shutdownSend();
    expectClosedWith(*truncated,
                     "Remote host unexpectedly closed connection after trying to read for (");

    SetUp();
    auto unaligned = authenticated();
    sendRaw(*unaligned, code(net::PROT_ENCRYPTED) + code(13) + std::string(13, 'x'));
    expectClosedWith(*unaligned, "final cipher error while decrypting protocol message (");

    SetUp();
    auto wrongDigest = authenticated();
    const std::string echo = code(net::PROT_REQ_ECHO);
    std::string digest = sha1(echo);
    digest[0] = static_cast<char>(digest[0] ^ 1);
    sendRaw(*wrongDigest, encryptedUnit(wrongDigest->protocolKey(), code(4) + echo + digest));
    expectClosedWith(*wrongDigest, "encrypted message from host invalid, failed sha1 checksum (");

    SetUp();
    auto wrongLength = authenticated();
    sendRaw(*wrongLength, encryptedUnit(wrongLength->protocolKey(), code(5) + echo + sha1(echo)));
    expectClosedWith(
        *wrongLength,
        "received invalid encrypted message from host: embedded message length (5) not valid (");

    SetUp();
    auto unknown = authenticated();
    auto request = unknown->newMessage();
    request->write32(0x12345678);
    request->send();
    expectClosedWith(*unknown,
                     "Protocol error.  Unrecognized encrypted request code (0x12345678) (");

    SetUp();
    auto shortCode = authenticated();
    auto threeBytes = shortCode->newMessage();
    threeBytes->writeBytes("abc");
    threeBytes->send();
    expectClosedWith(
        *shortCode,
        "Buffer underrun when attempting to read (4) bytes from encrypted message buffer (");

    SetUp();
    auto between = authenticated();
    sendRaw(*between, code(net::PROT_KEEPALIVE));  // skipped
    ASSERT_TRUE(backup_server::sendEcho(*between));
    sendRaw(*between, code(net::PROT_ERROR));
    expectClosedWith(*between, reportedError);

    SetUp();
    auto inside = authenticated();
    auto info = inside->newMessage();
    info->write32(net::PROT_REQ_SERVER_INFO);
    info->send();
    sendRaw(*inside, code(net::PROT_ERROR));
    expectClosedWith(*inside, reportedError);

    SetUp();
    auto unknownItem = authenticated();
    auto infoRequest = unknownItem->newMessage();
    infoRequest->write32(net::PROT_REQ_SERVER_INFO);
    infoRequest->send();
    auto item = unknownItem->newMessage();
    item->write32(0xE1E7E60C);
    item->send();
    expectClosedWith(*unknownItem, "Uknown server info code (0xe1e7e60c) (");
}

TEST_F(BadInputTest, SilentPeerTimesOut) {
    // A bystander that waited as long would time out as well.
    bystander->finish();
    bystander.reset();
    auto session = authenticated();
    expectClosedWith(
        *session,
        "Timed out while receiving data from remote host after (3) seconds. (Received  0/4)");
}

}  // namespace
