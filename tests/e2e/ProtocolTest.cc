// Protocol versions end to end, the real agent against the backup server's library: the
// pairings with a peer that knows only version 1, the agent's refusal of version 1, and a
// man in the middle on loopback (MitmProxy) that strips the offer of version 2 or edits
// the block stream each way. Whatever it edits, a version-2 peer refuses it before anything
// is stored or written; a version-1 agent refuses the restore edits the batch digest cannot
// see, by checking each block against its record's digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AgentHost.h"
#include "MitmProxy.h"
#include "backup-server/session/StoreBlockSource.h"
#include "backup-server/store/Catalogue.h"
#include "common/TestBytes.h"
#include "platform/ByteOrder.h"
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
        auto session = AgentSession::connect("127.0.0.1", port ? port : host.agent().port(),
                                             test::serverTimeout());
        session->setOfferedVersion(offer);
        EXPECT_EQ(session->handshake(test::serverKeys("backup")),
                  backup_server::HandshakeOutcome::authenticated);
        return session;
    }

    static backup_server::BackupSummary backup(test::AgentHost& host, AgentSession& session,
                                               bool compareDigests = false) {
        backup_server::VolumeStore store(host.storeRoot(), test::AgentHost::kDeviceID);
        backup_server::BackupOptions options;
        options.deviceID = test::AgentHost::kDeviceID;
        options.compressionType = 1;
        options.encryptionType = 1;
        options.checksums = compareDigests;
        if (compareDigests)  // a key the driver never gave: every used block is compared
            options.journalKeyOverride = std::string(56, '\x5a');
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
            if (platform::loadBigEndian(unit.data(), 4) == net::PROT_VERSION &&
                platform::loadBigEndian(unit.data() + 4, 4) == test.from) {
                unit.resize(4);
                platform::appendBigEndian(unit, test.to, 4);
            }
        };
        MitmProxy proxy(host.agent().port(), edits);
        auto session = AgentSession::connect("127.0.0.1", proxy.port(), test::serverTimeout());
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
                 static_cast<std::uint32_t>(platform::loadBigEndian(record.data() + 25, 4)) - 1;
             std::string field;
             platform::appendBigEndian(field, length, 4);
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
            recording.version2 = version == 2;
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
            edits.version2 = version == 2;
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

// One way of editing the target-th unit of the channel one way; earlier holds the units
// of another session, recorded in the same place.
test::ChannelEditor editUnit(const std::string& how, std::size_t target,
                             const std::vector<std::string>& earlier) {
    auto kept = std::make_shared<std::string>();
    return [=](std::string unit, std::size_t number) -> std::vector<std::string> {
        if (number == target) {
            if (how == "swapped with the next") {
                *kept = std::move(unit);
                return {};
            }
            if (how == "replayed")
                return {unit, unit};
            if (how == "dropped")
                return {};
            if (how == "edited") {
                unit[unit.size() / 2] = static_cast<char>(unit[unit.size() / 2] ^ 0x04);
                return {unit};
            }
            return {earlier.at(number)};  // an earlier session's
        }
        if (number == target + 1 && !kept->empty())
            return {unit, *kept};
        return {unit};
    };
}

const char* const kUnitEdits[] = {"swapped with the next", "replayed", "dropped", "edited",
                                  "earlier session's"};

test::ChannelEditor recordUnits(std::vector<std::string>& units) {
    return [&units](std::string unit, std::size_t) {
        units.push_back(unit);
        return std::vector<std::string>{unit};
    };
}

// The first unit at or after from whose length satisfies wanted.
std::size_t findUnit(const std::vector<std::string>& units, std::size_t from,
                     const std::function<bool(std::size_t)>& wanted) {
    for (std::size_t i = from; i < units.size(); ++i) {
        if (wanted(units[i].size()))
            return i;
    }
    ADD_FAILURE() << "no such unit among " << units.size();
    return units.size();
}

// Version 2 seals what version 1 sends bare. Each way, one of the newly sealed units is
// swapped, replayed, dropped, edited or taken from an earlier session: from the server,
// the digest batch of a digest-compared backup (edited, it could make the agent skip
// changed blocks); from the agent, the backup's block map. Every case fails the backup and
// stores nothing. (A dropped digest batch leaves both sides waiting, so the agent's
// time-out is short here.)
TEST_F(ProtocolTest, EditedSealedUnitsFailTheBackupAndNothingIsStored) {
    test::AgentSettings settings;
    settings.timeoutSeconds = 3;
    test::AgentHost host(settings);
    std::vector<std::string> fromServer;
    std::vector<std::string> fromAgent;
    std::uint64_t blockCount = 0;
    {
        auto session = open(host, 2);
        blockCount = backup(host, *session).blockCount;
    }
    {
        ProxyEdits recording;
        recording.serverChannel = recordUnits(fromServer);
        recording.agentChannel = recordUnits(fromAgent);
        MitmProxy proxy(host.agent().port(), recording);
        auto session = open(host, 2, proxy.port());
        EXPECT_GT(backup(host, *session, true).digestsServed, 0u);
    }
    // A sealed unit is PROT_SEALED, its length, the plain bytes and a 16-byte tag.
    std::size_t digestBatch =
        findUnit(fromServer, 0, [](std::size_t bytes) { return bytes > 8 + 16 + 200; });
    std::size_t blockMap = findUnit(
        fromAgent, 0, [&](std::size_t bytes) { return bytes == 8 + (blockCount + 7) / 8 + 16; });
    ASSERT_GT(digestBatch, 0u);
    std::size_t stored = points(host).size();
    for (const char* how : kUnitEdits) {
        for (bool serverSide : {true, false}) {
            SCOPED_TRACE(std::string(how) + (serverSide ? " digest batch" : " block map"));
            ProxyEdits edits;
            // The digest batch is followed by a wait for the agent's acknowledgement, so it
            // is swapped with the message before it; the map's bytes with the digest after.
            if (serverSide) {
                std::size_t target =
                    std::string(how) == "swapped with the next" ? digestBatch - 1 : digestBatch;
                edits.serverChannel = editUnit(how, target, fromServer);
            } else {
                edits.agentChannel = editUnit(how, blockMap, fromAgent);
            }
            std::size_t logStart = host.agent().log().size();
            MitmProxy proxy(host.agent().port(), edits);
            auto session = open(host, 2, proxy.port());
            EXPECT_THROW(backup(host, *session, true), std::exception);
            EXPECT_EQ(points(host).size(), stored);
            // The agent refused the unit itself (a dropped one by its time-out).
            if (serverSide && std::string(how) != "dropped") {
                EXPECT_TRUE(host.agent().waitForLog("is not the next message the peer sealed",
                                                    std::chrono::seconds(5), logStart));
            }
        }
    }
}

}  // namespace
