// Protocol versions end to end, the real agent against the backup server's library: the
// pairings with a peer that knows only version 1, the agent's refusal of version 1, and a
// man in the middle on loopback (MitmProxy) that strips the offer of version 2 or edits
// the block stream each way. Whatever it edits, a version-2 peer refuses it before anything
// is stored or written; a version-1 agent refuses the restore edits the batch digest cannot
// see, by checking each block against its record's digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "AgentHost.h"
#include "MitmProxy.h"
#include "backup-server/Catalogue.h"
#include "backup-server/StoreBlockSource.h"
#include "common/TestBytes.h"
#include "net/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace {

using backup_server::AgentSession;
using test::MitmProxy;
using test::ProxyEdits;
using test::WireBatch;

class ProtocolTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::prepareServerSide(30); }

    static test::AgentSettings withConfig(const std::string& lines) {
        test::AgentSettings settings;
        settings.extraConfig = lines;
        return settings;
    }

    // A session offering version offer, through port (the agent's own when 0).
    static std::unique_ptr<AgentSession> open(test::AgentHost& host, std::uint32_t offer,
                                              std::uint16_t port = 0) {
        auto session = AgentSession::connect("127.0.0.1", port ? port : host.agent().port());
        session->setOfferedVersion(offer);
        EXPECT_EQ(session->handshake(test::serverKeys("backup")),
                  backup_server::HandshakeOutcome::authenticated);
        return session;
    }

    static backup_server::BackupSummary backup(test::AgentHost& host, AgentSession& session) {
        backup_server::VolumeStore store(host.storeRoot(), test::AgentHost::kDeviceID);
        backup_server::BackupOptions options;
        options.deviceID = test::AgentHost::kDeviceID;
        options.compressionType = 1;
        options.encryptionType = 1;
        options.checksums = false;
        auto summary = backup_server::runVolumeBackup(session, store, options);
        session.finish();
        return summary;
    }

    static backup_server::RestoreSummary restore(test::AgentHost& host, AgentSession& session,
                                                 std::uint32_t compression = 1) {
        backup_server::VolumeStore store(host.storeRoot(), test::AgentHost::kDeviceID);
        backup_server::StoreBlockSource source(store);
        backup_server::RestoreOptions options;
        options.deviceID = test::AgentHost::kDeviceID;
        options.blockSize = store.blockSize();
        options.compressionType = compression;
        options.batchBlocks = 64;
        auto summary = backup_server::runVolumeRestore(session, options, source);
        session.finish();
        return summary;
    }

    static std::vector<backup_server::PointRecord> points(test::AgentHost& host) {
        backup_server::Catalogue catalogue(host.storeRoot() / "catalogue.db",
                                           backup_server::Catalogue::Mode::read);
        return catalogue.points();
    }
};

// Version 2 only when both know it; either alone falls back to version 1, which backs up
// and restores as before, and each point records the version its blocks came in.
TEST_F(ProtocolTest, EitherPeerAloneFallsBackToVersion1AndPointsRecordTheirVersion) {
    for (bool agentKnows2 : {true, false}) {
        test::AgentHost host(withConfig(agentKnows2 ? "" : "Protocol2 = false\n"));
        for (std::uint32_t offer : {1u, 2u}) {
            SCOPED_TRACE(std::string(agentKnows2 ? "agent 2" : "agent 1") + ", server offers " +
                         std::to_string(offer));
            std::uint32_t expected = agentKnows2 && offer == 2 ? 2 : 1;
            auto session = open(host, offer);
            EXPECT_EQ(session->protocolVersion(), expected);
            auto summary = backup(host, *session);
            EXPECT_EQ(points(host).back().id, summary.point);
            EXPECT_EQ(points(host).back().protocol, expected);

            // A changed cluster of random.bin comes back with the restore.
            std::uint64_t cluster = host.randomFileCluster() + 5;
            std::string before = host.volumeCluster(cluster);
            host.sim("write 0:0 --cluster " + std::to_string(cluster) +
                     " --count 1 --random --seed 9");
            ASSERT_NE(host.volumeCluster(cluster), before);
            auto again = open(host, offer);
            EXPECT_EQ(again->protocolVersion(), expected);
            restore(host, *again);
            EXPECT_EQ(host.volumeCluster(cluster), before);
        }
    }
}

TEST_F(ProtocolTest, AgentThatRefusesVersion1ServesOnlyVersion2) {
    test::AgentHost host(withConfig("RefuseProtocol1 = true\n"));
    auto old = open(host, 1);
    EXPECT_THROW(backup(host, *old), runtime::AgentException);
    EXPECT_TRUE(host.agent().waitForLog("this agent refuses protocol version 1"));
    auto current = open(host, 2);
    EXPECT_EQ(current->protocolVersion(), 2u);
    backup(host, *current);
}

// The offer travels in the clear; the server's sealed challenge says whether it was made.
// Stripped between two version-2 peers, the agent finds out from the server's sealed
// challenge; forged towards a server that offered only version 1, the server refuses the
// agent's confirmation (a server that checks nothing would state "not offered" in its
// challenge, and the agent would refuse). Either way the handshake fails instead of
// settling on a version the server did not choose.
TEST_F(ProtocolTest, OfferStrippedOrForgedOnTheWayFailsTheHandshake) {
    test::AgentHost host;
    struct Case {
        std::uint32_t offer;
        std::uint32_t from;
        std::uint32_t to;
        const char* agentSays;   // in the agent's log ("" when the server refuses first)
        const char* serverSays;  // the server's handshake error
    } cases[] = {
        {2, 0x00020020, 0x00010020, "Protocol downgrade detected", "Remote host has reported"},
        {1, 0x00010020, 0x00020020, "",
         "The agent confirmed protocol version 2, which was not offered"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.serverSays);
        std::size_t logStart = host.agent().log().size();
        ProxyEdits edits;
        edits.serverUnits = [&](std::string& unit) {
            if (net::readBigEndian(unit.data(), 4) == net::PROT_VERSION &&
                net::readBigEndian(unit.data() + 4, 4) == test.from) {
                unit.resize(4);
                net::appendBigEndian(unit, test.to, 4);
            }
        };
        MitmProxy proxy(host.agent().port(), edits);
        auto session = AgentSession::connect("127.0.0.1", proxy.port());
        session->setOfferedVersion(test.offer);
        try {
            session->handshake(test::serverKeys("backup"));
            ADD_FAILURE() << "the handshake succeeded";
        } catch (const runtime::AgentException& error) {
            EXPECT_EQ(error.message().rfind(test.serverSays, 0), 0u) << error.message();
        }
        if (*test.agentSays != '\0') {
            EXPECT_TRUE(
                host.agent().waitForLog(test.agentSays, std::chrono::seconds(20), logStart));
        }
    }
    // Untouched, both versions still work.
    EXPECT_EQ(open(host, 2)->protocolVersion(), 2u);
    EXPECT_EQ(open(host, 1)->protocolVersion(), 1u);
}

// One way of editing a batch on the wire.
struct Tamper {
    const char* name;
    std::function<std::vector<WireBatch>(WireBatch batch, const WireBatch& earlier)> edit;
    bool version1Refuses;  // the edits a version-1 agent's digest checks must catch too
    // The batch's genuine copy comes first and may be written before its replay is refused.
    bool genuineCopyFirst = false;
};

std::vector<Tamper> tamperings() {
    auto one = [](WireBatch batch) { return std::vector<WireBatch>{std::move(batch)}; };
    return {
        {"payloads swapped",
         [one](WireBatch batch, const WireBatch&) {
             std::string first = test::recordData(batch.records[0]);
             batch.records[0] =
                 test::withData(batch.records[0], test::recordData(batch.records[1]));
             batch.records[1] = test::withData(batch.records[1], first);
             return one(std::move(batch));
         },
         true},
        {"bit flipped",
         [one](WireBatch batch, const WireBatch&) {
             batch.records[1][29 + 3] = static_cast<char>(batch.records[1][29 + 3] ^ 0x10);
             return one(std::move(batch));
         },
         true},
        {"records swapped",
         [one](WireBatch batch, const WireBatch&) {
             std::swap(batch.records[0], batch.records[1]);
             return one(std::move(batch));
         },
         false},
        {"index edited",
         [one](WireBatch batch, const WireBatch&) {
             batch.records[2][7] = static_cast<char>(batch.records[2][7] ^ 0x01);
             return one(std::move(batch));
         },
         false},
        {"record cut short",
         [one](WireBatch batch, const WireBatch&) {
             std::string& record = batch.records[0];
             record.pop_back();
             std::uint32_t length =
                 static_cast<std::uint32_t>(net::readBigEndian(record.data() + 25, 4)) - 1;
             std::string field;
             net::appendBigEndian(field, length, 4);
             record.replace(25, 4, field);
             return one(std::move(batch));
         },
         false},
        {"batch dropped", [](WireBatch, const WireBatch&) { return std::vector<WireBatch>{}; },
         false},
        {"batch replayed",
         [](WireBatch batch, const WireBatch&) {
             return std::vector<WireBatch>{batch, batch};
         },
         false, true},
        {"earlier session's batch",
         [](WireBatch, const WireBatch& earlier) { return std::vector<WireBatch>{earlier}; },
         false},
        {"earlier session's records",
         [one](WireBatch batch, const WireBatch& earlier) {
             batch.records = earlier.records;
             return one(std::move(batch));
         },
         false},
    };
}

// Edits the first batch of a restore's stream (earlier: the first batch of a restore in
// another session). The restore fails, and since the first batch is refused, nothing of
// the stream reaches the disk: the disk image stays as it was, changed clusters included.
TEST_F(ProtocolTest, EditedRestoreStreamIsRefusedBeforeAnythingIsWritten) {
    test::AgentHost host;
    for (std::uint32_t version : {2u, 1u}) {
        {
            auto session = open(host, version);
            backup(host, *session);
        }
        WireBatch earlier;
        {
            ProxyEdits recording;
            recording.serverToAgent = [&](WireBatch batch, std::size_t number) {
                if (number == 0)
                    earlier = batch;
                return std::vector<WireBatch>{batch};
            };
            MitmProxy proxy(host.agent().port(), recording);
            auto session = open(host, version, proxy.port());
            restore(host, *session);
        }
        ASSERT_GE(earlier.records.size(), 3u);
        // The first batch holds the volume's first clusters; change one of them.
        host.sim("write 0:0 --cluster 1 --count 1 --random --seed 11");
        std::string image = test::readWholeFile(host.agent().diskImage());
        for (const Tamper& tamper : tamperings()) {
            if (version == 1 && !tamper.version1Refuses)
                continue;
            SCOPED_TRACE(std::string(tamper.name) + ", version " + std::to_string(version));
            ProxyEdits edits;
            edits.serverToAgent = [&](WireBatch batch, std::size_t number) {
                return number == 0 ? tamper.edit(std::move(batch), earlier)
                                   : std::vector<WireBatch>{batch};
            };
            MitmProxy proxy(host.agent().port(), edits);
            auto session = open(host, version, proxy.port());
            EXPECT_EQ(session->protocolVersion(), version);
            EXPECT_THROW(restore(host, *session), runtime::AgentException);
            if (!tamper.genuineCopyFirst) {
                EXPECT_TRUE(test::readWholeFile(host.agent().diskImage()) == image)
                    << "the disk was written";
            }
            test::writeAt(host.agent().diskImage(), 0, image);  // each case starts alike
        }
    }
}

// The same edits of a backup's first batch, agent to server: the server refuses the
// stream and no restore point is stored.
TEST_F(ProtocolTest, EditedBackupStreamIsRefusedAndNothingIsStored) {
    test::AgentHost host;
    WireBatch earlier;
    {
        ProxyEdits recording;
        recording.agentToServer = [&](WireBatch batch, std::size_t number) {
            if (number == 0)
                earlier = batch;
            return std::vector<WireBatch>{batch};
        };
        MitmProxy proxy(host.agent().port(), recording);
        auto session = open(host, 2, proxy.port());
        backup(host, *session);
    }
    ASSERT_GE(earlier.records.size(), 3u);
    std::size_t stored = points(host).size();
    // The file is rewritten in between, so the earlier batch holds other data.
    host.sim("write 0:0 --cluster " + std::to_string(host.randomFileCluster()) +
             " --count 8 --random --seed 12");
    for (const Tamper& tamper : tamperings()) {
        SCOPED_TRACE(tamper.name);
        ProxyEdits edits;
        edits.agentToServer = [&](WireBatch batch, std::size_t number) {
            return number == 0 ? tamper.edit(std::move(batch), earlier)
                               : std::vector<WireBatch>{batch};
        };
        MitmProxy proxy(host.agent().port(), edits);
        auto session = open(host, 2, proxy.port());
        EXPECT_THROW(backup(host, *session), std::exception);
        EXPECT_EQ(points(host).size(), stored);
    }
}

}  // namespace
