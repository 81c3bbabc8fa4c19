// Faults from the host and hostile peers, each followed by proof that the agent still works:
// snapshot failures and hangs, device write errors during a restore, pipes in place of
// configuration files, thousands of broken files in an allow directory, floods of junk and
// idle connections.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <iostream>
#include <random>
#include <thread>

#include "AgentHost.h"
#include "backup-server/commands/Echo.h"
#include "backup-server/session/AgentKeyFiles.h"
#include "common/ChildProcess.h"
#include "common/TestBytes.h"
#include "net/SocketException.h"
#include "runtime/Exceptions.h"

namespace {

namespace fs = std::filesystem;
using test::AgentHost;

class HostileFaultTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::prepareServerSide(60); }
};

// Snapshot and device faults on one host, in turn: a failed snapshot fails the backup and
// the next one runs; transient write errors during a restore are retried and a lasting one
// fails the restore; a snapshot that never completes does not hold the stop.
TEST_F(HostileFaultTest, SnapshotAndDeviceFaultsFailOnlyTheirRequest) {
    AgentHost host;
    // The snapshot service reads its behaviour from host.conf at each call.
    const fs::path hostConfig = host.agent().hostRoot() / "host.conf";
    const std::string layout = test::readWholeFile(hostConfig);
    auto snapshotService = [&](const std::string& lines) {
        std::ofstream(hostConfig, std::ios::trunc) << layout << "[snapshot service]\n" << lines;
    };
    snapshotService("fail DoSnapshotSet = 0x80042306\n");
    EXPECT_THROW(host.backup(), runtime::AgentException);
    EXPECT_TRUE(host.agent().waitForLog("Backup Failed"));
    snapshotService("");
    auto summary = host.backup();
    EXPECT_EQ(summary.blocksSent, summary.usedBlocks);
    EXPECT_TRUE(host.storeMismatches(summary.used).empty());

    const std::string cluster = std::to_string(host.randomFileCluster());
    host.sim("write 0:0 --cluster " + cluster + " --count 4 --random --seed 8");
    host.sim("fault flaky kind=write-error volume=C clusters=" + cluster + " error=121 attempts=2");
    host.restore();
    EXPECT_TRUE(host.agent().waitForLog(" after 3 tries.  Earlier writes failed with error: "));
    host.sim("fault flaky --remove");
    EXPECT_TRUE(host.storeMismatches(summary.used).empty());
    host.sim("fault broken kind=write-error volume=C clusters=" + cluster + " error=1117");
    EXPECT_THROW(host.restore(), runtime::AgentException);
    EXPECT_TRUE(host.agent().waitForLog("Failed to write block to disk."));

    snapshotService("hang DoSnapshotSet = yes\n");  // the write fault goes with the old file
    const std::size_t mark = host.agent().log().size();
    auto backup = std::async(std::launch::async, [&host] { return host.backup(); });
    ASSERT_TRUE(
        host.agent().waitForLog("Accepting new backup request", std::chrono::seconds(20), mark));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(host.agent().stopWithin(std::chrono::seconds(10)), 0);
    EXPECT_THROW(backup.get(), std::exception);
}

// Thousands of broken files in the allow directory are reported once and never to a peer;
// pipes in the allow directory and in place of the key file hold neither a handshake nor the
// stop, and a key file that cannot be read is left alone and serves again once readable.
TEST_F(HostileFaultTest, BrokenAllowFilesAndPipesHoldNothing) {
    test::AgentProcess agent;
    agent.allowServer(test::serverKeys("backup"));
    agent.start();
    for (int i = 0; i < 2000; ++i)
        std::ofstream(agent.serverAllowDir() /
                      ("10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250)))
            << "not a key " << i;
    for (int i = 0; i < 3; ++i) {
        // An unknown server is turned away; what it hears names no file.
        auto stranger = agent.connect();
        EXPECT_EQ(stranger->handshake(test::serverKeys("stranger")),
                  backup_server::HandshakeOutcome::rejected);
        for (const auto& record : stranger->logRecords())
            EXPECT_EQ(record.text.find("server.allow"), std::string::npos) << record.text;
        auto session = agent.openSession(test::serverKeys("backup"));
        EXPECT_TRUE(backup_server::sendEcho(*session));
        session->finish();
    }
    // Each broken file is reported once, however many handshakes read the directory.
    EXPECT_EQ(test::occurrences(agent.log(), "error reading RSA public key"), 2000u);

    ASSERT_EQ(::mkfifo((agent.serverAllowDir() / "10.9.9.9").c_str(), 0600), 0);
    for (int i = 0; i < 3; ++i) {
        auto session = agent.openSession(test::serverKeys("backup"));
        EXPECT_TRUE(backup_server::sendEcho(*session));
        session->finish();
    }
    auto first = agent.openSession(test::serverKeys("backup"));
    const std::string key = backup_server::fetchKeys(*first).rsaKey;
    first->finish();
    // rsa.key cannot be read (a pipe stands in its place): connections fail, nothing is
    // generated over it.
    fs::path file = agent.configDir() / "rsa.key";
    fs::path aside = agent.configDir() / "rsa.key.aside";
    fs::rename(file, aside);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_THROW(agent.openSession(test::serverKeys("backup")), std::exception);
    EXPECT_TRUE(agent.waitForLog("cannot read key file"));
    fs::remove(file);
    fs::rename(aside, file);
    auto again = agent.openSession(test::serverKeys("backup"));
    EXPECT_EQ(backup_server::fetchKeys(*again).rsaKey, key);
    again->finish();
    for (const auto& entry : fs::directory_iterator(agent.configDir()))
        EXPECT_EQ(entry.path().filename().string().find(".replaced"), std::string::npos);
    EXPECT_EQ(agent.stopWithin(std::chrono::seconds(10)), 0);
}

TEST_F(HostileFaultTest, FloodOfJunkConnectionsKeepsTheLogHistoryAndIdleOnesAreBounded) {
    test::AgentProcess agent;
    agent.allowServer(test::serverKeys("backup"));
    agent.start();
    std::mt19937 random(5);
    constexpr std::size_t kJunk = 300;
    auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kJunk; ++i) {
        auto junk = agent.connect();
        std::string bytes(64, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        try {
            junk->socket()->sendAll(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        } catch (const net::SocketException&) {
        }
    }
    ASSERT_TRUE(agent.waitForLog("more lines about connections that had not authenticated",
                                 std::chrono::seconds(30)));
    std::string log = agent.log();
    EXPECT_NE(log.find("Listening for backup servers on port"), std::string::npos);
    // A share per 10 s interval at most, whatever the flood's length: far fewer than one line
    // per connection.
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    std::size_t share = 20 * (static_cast<std::size_t>(seconds) / 10 + 2);
    EXPECT_LE(test::occurrences(log, "Closing connection: "), std::min(share, kJunk / 2));

    // Idle connections beyond the limit are refused, and admitted again once some end.
    std::vector<std::unique_ptr<backup_server::AgentSession>> idle;
    constexpr std::size_t kIdle = 110;
    for (std::size_t i = 0; i < kIdle; ++i)
        idle.push_back(agent.connect());
    EXPECT_TRUE(agent.waitForLog("Connection limit reached (100 connections)"));
    idle.clear();
    std::unique_ptr<backup_server::AgentSession> session;
    for (int attempt = 0; attempt < 50 && !session; ++attempt) {
        try {
            session = agent.openSession(test::serverKeys("backup"));
        } catch (const std::exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    ASSERT_TRUE(session);
    EXPECT_TRUE(backup_server::sendEcho(*session));
    session->finish();
    EXPECT_TRUE(agent.waitForLog("Below the connection limit again"));
    std::cout << "FIGURE flood.junk_connections " << kJunk << "\nFIGURE flood.idle_connections "
              << kIdle << std::endl;
}

}  // namespace
