// A server that reports an error (PROT_ERROR) or hangs up wherever the agent waits for its
// next code ends only that request: the agent logs why, lets go of what the request held
// (backup lock and volume claim, restore volume lock, nothing half-written of a partition
// table), and the next request of the same kind succeeds. One agent serves every case.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "AgentHost.h"
#include "backup-server/commands/AllowList.h"
#include "backup-server/commands/Echo.h"
#include "backup-server/commands/ServerInfo.h"
#include "backup-server/session/FileRestore.h"
#include "backup-server/session/PartitionTable.h"
#include "backup-server/store/VolumeStore.h"
#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
#include "common/ChildProcess.h"
#include "crypto/KeyMsg.h"
#include "crypto/RsaKey.h"
#include "net/Codes.h"

namespace {

namespace fs = std::filesystem;
using backup_server::AgentSession;
using test::AgentHost;

// One agent on one host for every case.
AgentHost* host = nullptr;

enum class Fault { error, hangUp };
// Whether the case starts on an authenticated connection or on a fresh one.
enum class Connection { authenticated, fresh };

std::string faultName(Fault fault) {
    return fault == Fault::error ? "error" : "hang-up";
}

// What the agent logs when it finds the fault instead of a code.
std::string faultText(Fault fault) {
    return fault == Fault::error ? "Remote host has reported an error and closed the connection."
                                 : "Remote host unexpectedly closed connection";
}

// One point in a request where the agent reads the server's next code: reach drives the
// session up to it.
struct Point {
    std::string name;
    std::function<void(AgentSession&)> reach;
    // Bytes sent after PROT_ERROR where the agent reads the code together with what
    // follows it.
    std::size_t errorPadding = 0;
    // What the agent logs for PROT_ERROR here, when not faultText's.
    std::string errorText = "";
};

class ServerErrorTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::prepareServerSide(20);
        host = new AgentHost();
        // Something in the store to restore, and digests to offer the next backup.
        host->backup();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(host->agent().stopWithin(std::chrono::seconds(10)), 0);
        delete host;
        host = nullptr;
    }

    static std::unique_ptr<AgentSession> session() {
        return host->agent().openSession(test::serverKeys("backup"));
    }

    // Drives a new connection to the point, injects the fault there and checks that the
    // agent closed that connection for that reason while one opened before it still works.
    static void failAt(const Point& point, Fault fault, Connection connection) {
        SCOPED_TRACE(point.name + " / " + faultName(fault));
        const std::size_t mark = host->agent().log().size();
        auto bystander = session();
        {
            auto failing = connection == Connection::fresh ? host->agent().connect() : session();
            point.reach(*failing);
            if (fault == Fault::error) {
                auto error = failing->sendCode(net::PROT_ERROR);
                error.writeBytes(std::string(point.errorPadding, '\0'));
                error.flush();
            } else {
                failing->socket()->shutdownSend();
            }
            EXPECT_TRUE(
                host->agent().waitForLog("Closing connection: ", std::chrono::seconds(20), mark));
            std::string tail = host->agent().log().substr(mark);
            std::string expected = fault == Fault::error && !point.errorText.empty()
                                       ? point.errorText
                                       : faultText(fault);
            EXPECT_NE(tail.find(expected), std::string::npos) << tail;
        }
        // The connection opened before the failure is still served.
        EXPECT_TRUE(backup_server::sendEcho(*bystander));
        bystander->finish();
    }

    // Every point with both faults; after each, followUp must succeed.
    static void runEachPoint(const std::vector<Point>& points,
                             const std::function<void()>& followUp,
                             Connection connection = Connection::authenticated) {
        for (const Point& point : points) {
            for (Fault fault : {Fault::error, Fault::hangUp}) {
                failAt(point, fault, connection);
                SCOPED_TRACE("after " + point.name + " / " + faultName(fault));
                ASSERT_NO_THROW(followUp());
            }
        }
    }
};

// --- handshake: every code the agent awaits before the first request ------------------------

// The server's side of the handshake, step by step, so that it can stop at any point.
class HandshakeSteps {
  public:
    explicit HandshakeSteps(AgentSession& session)
        : session_(session), keys_(test::serverKeys("backup")) {}

    void toOptions() {
        session_.readCodeExpect(net::PROT_VERSION);
        session_.read32();
        session_.sendCode(net::PROT_VERSION).write32(AgentSession::kServerProtocolVersion).flush();
    }
    void toKey() {
        toOptions();
        session_.readCodeExpect(net::PROT_SERVER_OPTION);
        session_.read32();
        session_.sendCode(net::PROT_SERVER_OPTION).write32(0).flush();
        session_.readCodeExpect(net::PROT_GET_PUBLIC_KEY);
    }
    void toAuthStart() {
        toKey();
        session_.sendCode(net::PROT_PUBLIC_KEY).writeString(keys_.publicPem()).flush();
        session_.readCodeExpect(net::PROT_PUBLIC_KEY);
        agentKey_ = crypto::RsaKey::readPublicPem(session_.readString(kMaxKeyText));
        ASSERT_TRUE(agentKey_);
    }
    void toResponse() {
        toAuthStart();
        session_.sendCode(net::PROT_AUTH_START).flush();
        session_.readCodeExpect(net::PROT_AUTH_CHALLENGE);
        sealed_ = session_.readString(kMaxKeyText);
    }
    void toChallenge() {
        toResponse();
        crypto::KeyMsg protocolKey(keys_.privateKey(), sealed_);
        session_.sendCode(net::PROT_AUTH_RESPONSE)
            .writeString(protocolKey.encrypt(agentKey_))
            .flush();
        session_.readCodeExpect(net::PROT_AUTH_OK);
    }
    void toVerdict() {
        toChallenge();
        crypto::KeyMsg challenge(crypto::KeyMsg::kGeneratedType, 128);
        session_.sendCode(net::PROT_AUTH_CHALLENGE)
            .writeString(challenge.encrypt(agentKey_))
            .flush();
        session_.readCodeExpect(net::PROT_AUTH_RESPONSE);
        session_.readString(kMaxKeyText);
    }

  private:
    static constexpr std::uint32_t kMaxKeyText = 64 * 1024;
    AgentSession& session_;
    const backup_server::ServerKeys& keys_;
    crypto::RsaKeyPtr agentKey_;
    std::string sealed_;
};

TEST_F(ServerErrorTest, Handshake) {
    auto step = [](void (HandshakeSteps::*to)()) {
        return [to](AgentSession& s) {
            HandshakeSteps steps(s);
            (steps.*to)();
        };
    };
    std::vector<Point> points = {
        {"instead of the version", [](AgentSession&) {}},
        {"instead of the options", step(&HandshakeSteps::toOptions)},
        {"instead of the server's key", step(&HandshakeSteps::toKey)},
        {"instead of the start of authentication", step(&HandshakeSteps::toAuthStart)},
        {"instead of the response to the agent's challenge", step(&HandshakeSteps::toResponse)},
        {"instead of the server's challenge", step(&HandshakeSteps::toChallenge)},
        {"instead of the verdict on the agent's response", step(&HandshakeSteps::toVerdict)},
    };
    runEachPoint(
        points,
        [] {
            auto again = session();
            EXPECT_TRUE(backup_server::sendEcho(*again));
            again->finish();
        },
        Connection::fresh);
}

// --- server information and the allow list: the next message, the next request --------------

TEST_F(ServerErrorTest, ServerInfoItemsAndTheRequestAfterAnAllowList) {
    auto info = [](AgentSession& s) {
        auto request = s.newMessage();
        request->write32(net::PROT_REQ_SERVER_INFO);
        request->send();
    };
    const std::vector<backup_server::AllowEntry> allow = {
        {"10.0.0.9", test::serverKeys("backup").publicPem()}};
    std::vector<Point> points = {
        {"instead of the first information item", info},
        {"after an information item",
         [&](AgentSession& s) {
             info(s);
             auto item = s.newMessage();
             item->write32(net::PROT_SERVER_INFO_ITEM).writeString("name");
             item->send();
         }},
        {"instead of the request after an allow list",
         [&](AgentSession& s) { backup_server::replaceAllowList(s, allow); }},
    };
    fs::path allowed = host->agent().backupAllowDir() / "10.0.0.9";
    runEachPoint(points, [&] {
        auto again = session();
        backup_server::sendServerInfo(*again, {{net::PROT_SERVER_INFO_ITEM, "name"}});
        fs::remove(allowed);
        backup_server::replaceAllowList(*again, allow);
        EXPECT_TRUE(backup_server::sendEcho(*again));
        again->finish();
        EXPECT_TRUE(fs::exists(allowed));
    });
}

// --- backup: the digest download ahead of the snapshot ----------------------------------

void askForBackupWithDigests(AgentSession& session) {
    auto request = session.newMessage();
    request->write32(net::PROT_REQ_BACKUP).write32(1).writeString(AgentHost::kDeviceID);
    for (int field = 0; field < 5; ++field)
        request->write32(0);
    request->writeBytes(std::string(backup_server::VolumeStore::kJournalKeyBytes, '\0'));
    request->send();
    net::ProtocolStream::verifyCode(net::PROT_ACK, session.receiveMessage()->read32());
    ASSERT_EQ(session.receiveMessage()->read32(), net::PROT_BLOCKSUMS_REQUEST);
}

void announceDigests(AgentSession& session) {
    askForBackupWithDigests(session);
    session.sendCode(net::PROT_ACK).flush();
    auto announcement = session.newMessage();
    announcement->write32(0).write64(1).write32(16);
    announcement->send();
}

// A batch of one digest (for block 0), without its closing digest.
void sendDigestRecords(AgentSession& session) {
    announceDigests(session);
    auto batch = session.sendCode(net::PROT_BLOCKSUMS);
    batch.write32(1);
    batch.writeBytes(std::string(4 + blocks::kDigestBytes, '\0'));
    batch.flush();
}

TEST_F(ServerErrorTest, BackupDigestDownload) {
    std::vector<Point> points = {
        {"instead of the acknowledgement of the digest request", askForBackupWithDigests},
        {"instead of the announcement",
         [](AgentSession& s) {
             askForBackupWithDigests(s);
             s.sendCode(net::PROT_ACK).flush();
         }},
        {"instead of the first batch", announceDigests},
        {"instead of a batch's digest", sendDigestRecords},
        {"instead of the batch after one",
         [](AgentSession& s) {
             sendDigestRecords(s);
             // The MD5 of the one record of zeros (version 2 checks it).
             blocks::Md5Stream md5;
             std::string record(4 + blocks::kDigestBytes, '\0');
             md5.update(record.data(), record.size());
             auto sum = md5.finish();
             auto digest = s.sendCode(net::PROT_BLOCKSUMS_DIGEST);
             digest.writeBytes(std::string(sum.begin(), sum.end()));
             digest.flush();
             s.readCodeExpect(net::PROT_BLOCKSUMS_ACK);
         }},
    };
    fs::path snapshots = host->agent().hostRoot() / "snapshots" / "registry";
    runEachPoint(points, [&] {
        // No snapshot was taken and left behind; the lock and the volume's claim are free.
        // (The previous backup's snapshot may still be on its way out.)
        EXPECT_TRUE(
            test::waitUntil([&] { return !fs::exists(snapshots); }, std::chrono::seconds(20)));
        auto summary = host->backup();
        EXPECT_TRUE(host->storeMismatches(summary.used).empty());
    });
}

// --- volume restore: the block stream ------------------------------------------------------

backup_server::RestoreOptions restoreOptions() {
    backup_server::RestoreOptions options;
    options.deviceID = AgentHost::kDeviceID;
    options.blockSize = AgentHost::kCluster;
    options.maxBlocks = 16;
    return options;
}

// Blocks holding what the volume holds already, so a cut-short restore changes nothing.
std::vector<blocks::BlockPtr> unchangedBlocks(std::uint64_t first, std::uint64_t count) {
    std::vector<blocks::BlockPtr> batch;
    for (std::uint64_t index = first; index < first + count; ++index) {
        std::string bytes = host->volumeCluster(index);
        auto data = std::make_shared<unsigned char[]>(bytes.size());
        std::memcpy(data.get(), bytes.data(), bytes.size());
        auto block = std::make_shared<blocks::Block>(index, AgentHost::kCluster, std::move(data),
                                                     bytes.size(), false, false);
        block->computeDigest();
        batch.push_back(block);
    }
    return batch;
}

void announceBatch(AgentSession& session, std::uint16_t count) {
    auto announcement = session.newMessage();
    announcement->write32(net::PROT_BLOCKS).write16(count);
    announcement->send();
}

// One record's header and data, without the digest that closes the batch: unsealed, as
// records go in either version (in version 2 the agent opens them only after the digest).
void sendRecordOfOneBlockBatch(AgentSession& session) {
    announceBatch(session, 1);
    auto block = unchangedBlocks(0, 1).front();
    auto header = blocks::encodeBlockRecordHeader(*block);
    net::ShortMessage unit(session.socket());
    unit.writeCode(net::PROT_BLOCK_STREAM);
    unit.write(header.data(), static_cast<std::int64_t>(header.size()));
    unit.write(block->getData(), static_cast<std::int64_t>(block->length()));
    unit.flush();
}

TEST_F(ServerErrorTest, VolumeRestoreBlockStream) {
    auto start = [](AgentSession& s) { backup_server::startVolumeRestore(s, restoreOptions()); };
    std::vector<Point> points = {
        {"before the first batch", start},
        {"between batches",
         [&](AgentSession& s) {
             start(s);
             backup_server::sendRestoreBatch(s, unchangedBlocks(0, 4));
         }},
        {"instead of a batch's records",
         [&](AgentSession& s) {
             start(s);
             announceBatch(s, 4);
         }},
        {"instead of a batch's digest",
         [&](AgentSession& s) {
             start(s);
             sendRecordOfOneBlockBatch(s);
         },
         blocks::kDigestBytes,
         // Version 2 seals PROT_ERROR too, which the agent cannot take for a digest.
         "Protocol error.  Expected (0xe1e7eaef) but received (0xe1e7e5fa)"},
    };
    runEachPoint(points, [] {
        // The volume's lock is free again: a whole restore runs.
        auto summary = host->restore();
        EXPECT_GT(summary.blocksSent, 0u);
    });
    // Nothing the cut-short restores wrote changed the volume.
    backup_server::VolumeStore store(host->storeRoot(), AgentHost::kDeviceID);
    EXPECT_TRUE(host->storeMismatches(store.usedMap()).empty());
}

// --- file restore: items and their data ------------------------------------------------------

const backup_server::FileRestoreHeader kFileHeader{false, "C:\\restored", ""};

backup_server::FileSource fileSource(const std::string& path, const std::string& data) {
    backup_server::FileSource source;
    source.item.path = path;
    source.item.fileSize = data.size();
    source.item.attrFlags = 0x20;
    source.data = data;
    return source;
}

TEST_F(ServerErrorTest, FileRestoreItemsAndData) {
    const std::string data(100, 'd');
    auto begin = [](AgentSession& s) { backup_server::FileRestoreSession(s).begin(kFileHeader); };
    auto itemSent = [&](AgentSession& s) {
        backup_server::FileRestoreSession restore(s);
        restore.begin(kFileHeader);
        restore.sendItem(backup_server::itemRecord(fileSource("cut.bin", data).item), 1);
    };
    auto firstChunkSent = [&](AgentSession& s) {
        itemSent(s);
        backup_server::FileRestoreSession(s).sendChunk(1, std::string_view(data).substr(0, 40));
    };
    auto wholeDataSent = [&](AgentSession& s) {
        itemSent(s);
        backup_server::FileRestoreSession(s).sendChunk(1, data);
        EXPECT_TRUE(backup_server::FileRestoreSession(s).readResult().restored);
    };
    std::vector<Point> points = {
        {"instead of the list's beginning",
         [](AgentSession& s) {
             auto request = s.newMessage();
             request->write32(net::PROT_REQ_FILE_RESTORE).write32(0).write32(0).write32(0);
             request->write8(0).writeString(kFileHeader.targetPath).writeString("");
             request->writeString("").write32(0).write8(0).write8(0);
             request->send();
             net::ProtocolStream::verifyCode(net::PROT_ACK, s.receiveMessage()->read32());
         }},
        {"instead of the first item", begin},
        {"instead of an item's counter",
         [&](AgentSession& s) {
             begin(s);
             auto record = backup_server::itemRecord(fileSource("cut.bin", data).item);
             s.sendCode(net::PROT_FILE_NEXT).writeString(*record.toBytes()).flush();
         }},
        {"instead of the first chunk", itemSent},
        {"between chunks", firstChunkSent},
        {"instead of the data's end", wholeDataSent},
        {"instead of the item's end",
         [&](AgentSession& s) {
             wholeDataSent(s);
             backup_server::FileRestoreSession(s).sendCode(net::PROT_FILE_DATA_END);
         }},
        {"instead of the item after one",
         [&](AgentSession& s) {
             wholeDataSent(s);
             backup_server::FileRestoreSession(s).sendCode(net::PROT_FILE_DATA_END);
             backup_server::FileRestoreSession(s).sendCode(net::PROT_FILE_ITEM_END);
         }},
        {"while a failed item's data is skipped",
         [&](AgentSession& s) {
             backup_server::FileRestoreSession restore(s);
             restore.begin(kFileHeader);
             // A name Windows refuses: the item fails and its data is passed over.
             restore.sendItem(backup_server::itemRecord(fileSource("bad?.bin", data).item), 1);
             restore.sendChunk(1, std::string_view(data).substr(0, 40));
             EXPECT_FALSE(restore.readResult().restored);
         }},
    };
    int round = 0;
    runEachPoint(points, [&] {
        std::string name = "whole-" + std::to_string(++round) + ".bin";
        auto followUp = session();
        auto report = backup_server::restoreFiles(*followUp, kFileHeader, {fileSource(name, data)});
        followUp->finish();
        EXPECT_EQ(report.restored, 1u);
        EXPECT_EQ(report.failed, 0u);
        EXPECT_EQ(
            test::readWholeFile(host->agent().hostRoot() / "drives" / "C" / "restored" / name),
            data);
    });
}

// --- partition-table restore: the sectors ------------------------------------------------

TEST_F(ServerErrorTest, PartitionTableRestoreSectors) {
    backup_server::PartitionTableImage image;
    {
        auto first = session();
        image = backup_server::backupPartitionTable(*first, "Disk 0");
        first->finish();
    }
    ASSERT_FALSE(image.sectors.empty());
    const auto count = static_cast<std::uint32_t>(image.sectors.size() + 1);
    auto start = [count](AgentSession& s) {
        backup_server::startPartitionRestore(s, "Disk 0", 512, count);
    };
    // A sector that would wreck the table if a cut-short restore wrote it.
    backup_server::TableSector zeros{0, std::string(512, '\0')};
    std::vector<Point> points = {
        {"instead of the first sector", start},
        {"between sectors",
         [&](AgentSession& s) {
             start(s);
             backup_server::sendTableSector(s, zeros);
         }},
    };
    runEachPoint(points, [&] {
        auto check = session();
        EXPECT_EQ(backup_server::backupPartitionTable(*check, "Disk 0").sectors, image.sectors);
        backup_server::restorePartitionTable(*check, "Disk 0", image);
        check->finish();
    });
}

}  // namespace
