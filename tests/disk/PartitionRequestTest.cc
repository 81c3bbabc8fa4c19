// The partition-table backup and restore requests over an in-process connection on an
// emulated host with two disks: the body's disk ID picks the disk, the sector records carry
// offset and bytes, and a damaged sector stream writes nothing.
#include <gtest/gtest.h>

#include "DiskHost.h"
#include "common/RequestEnvironment.h"
#include "crypto/CryptoLibrary.h"
#include "net/EncryptedMessage.h"
#include "net/ServerConnection.h"
#include "net/SocketPair.h"
#include "requests/PartitionBackupRequest.h"
#include "requests/PartitionRestoreRequest.h"
#include "runtime/Exceptions.h"

namespace {

using disks_test::DiskHost;
using disks_test::tableSector;

constexpr std::uint64_t kDiskBytes = 1 << 20;

// One connection: the agent's end runs the request, the server's end is the test.
struct Wire {
    test::SocketPair pair;
    net::ServerConnection agent{pair.near.get()};
    net::ProtocolStream server{pair.far.get()};
    test::RequestEnvironment environment;

    // Runs a request of type R on body; the error's text, or "" on success.
    template <typename R>
    std::string run(const std::string& body) {
        net::EncryptedMessage message(agent, agent.protocolKey());
        message.setPlainText(body);
        try {
            R(agent, message, environment.context).execute();
        } catch (const runtime::LocatedException& error) {
            return error.message();
        }
        return "";
    }

    // The next encrypted reply, into message.
    void receive(net::EncryptedMessage& message) {
        message.setPlainText({});
        message.receiveExpected();
    }
    net::Code replyCode() {
        net::EncryptedMessage message(server, agent.protocolKey());
        receive(message);
        return message.read32();
    }

    void sendSector(net::Code code, std::uint64_t offset, const std::string& bytes) {
        auto unit = server.sendCode(code);
        unit.write64(offset);
        unit.writeBytes(bytes);
    }
};

std::string restoreBody(const std::string& diskID, std::uint32_t sectorCount) {
    net::ProtocolStream none(nullptr);
    net::EncryptedMessage body(none, crypto::KeyMsg(1, 128));
    body.write32(0).write32(0).write32(0).writeString(diskID).writeString("").writeString("");
    body.write32(512).write32(sectorCount);
    return body.plainText();
}

std::string backupBody(const std::string& diskID) {
    net::ProtocolStream none(nullptr);
    net::EncryptedMessage body(none, crypto::KeyMsg(1, 128));
    body.write32(0).write32(0).writeString(diskID);
    return body.plainText();
}

class PartitionRequestTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { crypto::CryptoLibrary::initialise(); }
    void SetUp() override {
        host.sim("add-disk --size 1M");
        host.sim("add-disk --size 1M");
    }
    bool untouched(std::uint32_t disk) {
        return host.read(disk, 0, kDiskBytes) == std::string(kDiskBytes, '\0');
    }

    DiskHost host;
};

TEST_F(PartitionRequestTest, RestoreWritesTheSectorsToTheNamedDisk) {
    Wire wire;
    const std::string table = tableSector({{0x07, 63, 1000}});
    wire.sendSector(net::PROT_SECTOR, 0, table);
    wire.sendSector(net::PROT_SECTOR, 62 * 512, std::string(512, 'g'));
    EXPECT_EQ(wire.run<requests::PartitionRestoreRequest>(restoreBody("Disk 1", 2)), "");

    EXPECT_EQ(wire.replyCode(), net::PROT_ACK);
    EXPECT_EQ(wire.server.readCode(), net::PROT_PARTITION_RESTORE_READY);
    EXPECT_EQ(wire.server.readCode(), net::PROT_PARTITION_RESTORE_END);
    EXPECT_EQ(host.read(1, 0, 512), table);
    EXPECT_EQ(host.read(1, 62 * 512, 512), std::string(512, 'g'));
    EXPECT_TRUE(untouched(0));
}

TEST_F(PartitionRequestTest, DamagedSectorStreamWritesNothing) {
    struct Case {
        net::Code code;
        std::uint64_t secondOffset;
        std::string error;
    };
    const std::vector<Case> cases = {
        {net::PROT_SECTOR, kDiskBytes,
         "Refusing to write a sector of 512 bytes at offset 1048576 of Disk 0 (1048576 bytes)"},
        {net::PROT_SECTOR, 100,
         "Refusing to write a sector of 512 bytes at offset 100 of Disk 0 (1048576 bytes)"},
        {net::PROT_PARTITION_TABLE, 512,
         "Protocol error.  Expected (0xe1e7ecf1) but received (0xe1e7ecf0)"},
    };
    for (const Case& c : cases) {
        Wire wire;
        wire.sendSector(net::PROT_SECTOR, 0, tableSector({{0x07, 63, 1000}}));
        wire.sendSector(c.code, c.secondOffset, std::string(512, 'x'));
        EXPECT_EQ(wire.run<requests::PartitionRestoreRequest>(restoreBody("Disk 0", 2)), c.error);
        EXPECT_TRUE(untouched(0)) << c.error;
    }
}

TEST_F(PartitionRequestTest, BackupSendsTheNamedDisksSectors) {
    host.write(1, 0, tableSector({{0x07, 63, 1000}}));
    for (std::uint64_t sector = 1; sector < 63; ++sector)
        host.write(1, sector * 512, std::string(512, static_cast<char>(sector)));
    Wire wire;
    EXPECT_EQ(wire.run<requests::PartitionBackupRequest>(backupBody("Disk 1")), "");

    EXPECT_EQ(wire.replyCode(), net::PROT_ACK);
    net::EncryptedMessage header(wire.server, wire.agent.protocolKey());
    wire.receive(header);
    EXPECT_EQ(header.read32(), net::PROT_PARTITION_TABLE);
    EXPECT_EQ(header.read32(), 512u);
    ASSERT_EQ(header.read32(), 63u);
    for (std::uint64_t sector = 0; sector < 63; ++sector) {
        wire.server.readCodeExpect(net::PROT_SECTOR);
        EXPECT_EQ(wire.server.read64(), sector * 512);
        std::string bytes(512, '\0');
        wire.server.readBytes(bytes.data(), 512);
        EXPECT_EQ(bytes, host.read(1, sector * 512, 512)) << sector;
    }
    EXPECT_EQ(wire.server.readCode(), net::PROT_PARTITION_BACKUP_END);
}

TEST_F(PartitionRequestTest, BackupOfAnUnknownDiskOrAShortBodyAnswersNothing) {
    Wire wire;
    EXPECT_EQ(wire.run<requests::PartitionBackupRequest>(backupBody("Disk 7")),
              "Unable to find disk: Disk 7");
    const std::string body = backupBody("Disk 1");
    for (std::size_t length = 0; length < body.size(); ++length) {
        EXPECT_EQ(wire.run<requests::PartitionBackupRequest>(body.substr(0, length))
                      .rfind("Buffer underrun when attempting to read", 0),
                  0u)
            << length;
    }
    wire.agent.sendCode(net::PROT_FINISHED).flush();
    EXPECT_EQ(wire.server.readCode(), net::PROT_FINISHED);
}

}  // namespace
