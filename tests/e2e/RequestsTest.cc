// Admission by key and the host-initialisation exchange; an admitted server drives the small
// requests; the status port reports; the agent stops in order. (Several servers at once are
// LoadSoakTest's.)
#include <gtest/gtest.h>

#include <thread>

#include "AgentProcess.h"
#include "backup-server/commands/AllowList.h"
#include "backup-server/commands/Echo.h"
#include "backup-server/commands/ServerInfo.h"
#include "backup-server/commands/StatusReader.h"
#include "backup-server/session/AgentKeyFiles.h"
#include "util/FileUtil.h"

namespace {

using backup_server::HandshakeOutcome;

class RequestsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::prepareServerSide();
        agent = new test::AgentProcess();
        agent->allowServer(test::serverKeys("first"));
        agent->start();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(agent->stop(), 0);
        EXPECT_NE(agent->log().find("Agent stopped"), std::string::npos);
        delete agent;
    }
    static inline test::AgentProcess* agent = nullptr;
};

using test::hasLogRecord;

TEST_F(RequestsTest, AdmittedServerRunsEchoServerInfoAndKeysAndTheStatusPortReports) {
    auto session = agent->openSession(test::serverKeys("first"));
    EXPECT_FALSE(session->agentInRecoveryMode());
    EXPECT_EQ(session->agentVersion(), 0x00010020u);

    EXPECT_TRUE(backup_server::sendEcho(*session));
    EXPECT_TRUE(hasLogRecord(*session, net::PROT_LOG_INFO, "Test received, sending reply"));
    // The banner names the agent and the system it runs on.
    EXPECT_TRUE(
        hasLogRecord(*session, net::PROT_LOG_INFO,
                     "(Vardex Windows Backup Agent) 2.27.0 build 11233 (Microsoft Windows "
                     "Server 2003 \"R2\" Standard x64 Edition Service Pack 2 (Build 3790))"));
    backup_server::sendServerInfo(
        *session, {{net::PROT_SERVER_INFO_ITEM, "name"}, {net::PROT_SERVER_INFO_VALUE, "value"}});

    backup_server::AgentKeyFiles files = backup_server::fetchKeys(*session);
    EXPECT_EQ(files.rsaKey, util::files::readFile(agent->configDir() / "rsa.key"));
    EXPECT_EQ(files.backupKey, util::files::readFile(agent->configDir() / "backup.key"));
    EXPECT_EQ(backup_server::openBackupKey(files).key().size(), 16u);
    // The agent's public key from the handshake is the one in its key folder.
    EXPECT_EQ(session->agentPublicKeyPem(),
              util::files::readFile(agent->configDir() / "rsa_public.key"));
    session->finish();
    EXPECT_TRUE(agent->waitForLog("Requests finished successfully, closing connection"));

    // The status port sends an eight-byte record every second; a client that leaves at once
    // ends only its own thread.
    net::TcpSocket::connectTo("127.0.0.1", agent->statusPort(), test::serverTimeout());
    auto socket =
        net::TcpSocket::connectTo("127.0.0.1", agent->statusPort(), test::serverTimeout());
    auto start = std::chrono::steady_clock::now();
    char record[16];
    socket->receiveAll(record, 16);
    EXPECT_EQ(std::string(record, 16),
              std::string("\xE1\xE7\xF5\xEE\x00\x00\x00\x00\xE1\xE7\xF5\xEE\x00\x00\x00\x00", 16));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(RequestsTest, AllowListsAdmitByKeyAndHostInitialisationEndsQuietly) {
    const auto& first = test::serverKeys("first");
    const auto& second = test::serverKeys("second");
    auto stranger = agent->connect();
    EXPECT_EQ(stranger->handshake(second), HandshakeOutcome::rejected);
    EXPECT_TRUE(hasLogRecord(
        *stranger, net::PROT_LOG_WARN,
        "Rejecting backup server (127.0.0.1) since its public key is not in our allow list"));

    auto session = agent->openSession(first);
    backup_server::replaceAllowList(
        *session, {{"127.0.0.1", second.publicPem()}, {"10.0.0.2", first.publicPem()}});
    session->finish();
    EXPECT_EQ(util::files::readFile(agent->backupAllowDir() / "127.0.0.1"), second.publicPem());

    auto admitted = agent->openSession(second);
    EXPECT_TRUE(backup_server::sendEcho(*admitted));
    backup_server::replaceAllowList(*admitted, {});
    admitted->finish();
    EXPECT_EQ(agent->connect()->handshake(second), HandshakeOutcome::rejected);

    // The host-initialisation exchange ends without an error.
    const std::size_t mark = agent->log().size();
    auto initialiser = agent->connect();
    EXPECT_EQ(initialiser->handshake(first, backup_server::HandshakeMode::initializeHost),
              HandshakeOutcome::hostInitialized);
    EXPECT_TRUE(agent->waitForLog("Host initialization complete"));
    EXPECT_EQ(agent->log().find("Closing connection", mark), std::string::npos);
}

}  // namespace
