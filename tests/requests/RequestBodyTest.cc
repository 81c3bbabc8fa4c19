// The bodies of the restore, partition restore, backup and file restore requests, parsed
// from in-memory messages: sound bodies are accepted with the fields where they belong, each
// checked field is refused with its reason before anything is answered, and a body that is
// cut short, runs on, or announces more than it holds is refused.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "../net/SocketPair.h"
#include "common/RequestEnvironment.h"
#include "crypto/CryptoLibrary.h"
#include "crypto/KeyMsg.h"
#include "net/EncryptedMessage.h"
#include "net/ServerConnection.h"
#include "requests/BackupRequest.h"
#include "requests/FileRestoreRequest.h"
#include "requests/PartitionRestoreRequest.h"
#include "requests/RestoreRequest.h"
#include "runtime/Exceptions.h"

namespace {

constexpr const char* kUnderrun = "Buffer underrun when attempting to read";

// Writes a plain text the way a server builds one.
class Body {
  public:
    Body() : message_(stream_, key_) {}
    net::EncryptedMessage& operator*() { return message_; }
    net::EncryptedMessage* operator->() { return &message_; }
    std::string bytes() const { return message_.plainText(); }

  private:
    net::ProtocolStream stream_{nullptr};
    crypto::KeyMsg key_{1, 128};
    net::EncryptedMessage message_;
};

// u32 | u32 | u32 | string deviceID | string | string: the start of both restore bodies.
void writeRestoreTarget(Body& body, const std::string& deviceID) {
    body->write32(7).write32(8).write32(9);
    body->writeString(deviceID).writeString("unused one").writeString("unused two");
}

struct RestoreBody {
    std::string deviceID = "Disk 0 Partition 1";
    std::uint32_t blockSize = 4096;
    std::uint32_t maxBlocks = 256;
    std::uint32_t encryptionType = requests::RestoreRequest::kEncryptionNone;
    std::optional<crypto::KeyMsg> key;

    std::string bytes() const {
        Body body;
        writeRestoreTarget(body, deviceID);
        body->write32(blockSize).write64(0x0102030405060708).write32(11).write32(maxBlocks);
        body->write32(encryptionType).write8(1).write8(2).write8(key ? 1 : 0);
        if (key)
            body->writeKey(*key);
        return body.bytes();
    }
};

std::string partitionRestoreBody(std::uint32_t sectorSize, std::uint32_t sectorCount) {
    Body body;
    writeRestoreTarget(body, "Disk 3");
    body->write32(sectorSize).write32(sectorCount);
    return body.bytes();
}

std::string backupBody(const std::string& journalKey) {
    Body body;
    body->write32(1).writeString("Disk 0 Partition 2").write32(1).write32(6).write32(1);
    body->write32(0).write32(0).writeBytes(journalKey);
    return body.bytes();
}

std::string fileRestoreBody(const std::string& target) {
    Body body;
    body->write32(1).write32(2).write32(3).write8(0);
    body->writeString(target).writeString("Disk 0 Partition 1").writeString("extra");
    body->write32(4).write8(0).write8(0);
    return body.bytes();
}

class RequestBodyTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { crypto::CryptoLibrary::initialise(); }

    // Runs step on a request message holding body; the error's text, or "" on success.
    template <typename Step>
    std::string outcome(const std::string& body, Step step) {
        net::EncryptedMessage message(connection, connection.protocolKey());
        message.setPlainText(body);
        try {
            step(message);
        } catch (const runtime::LocatedException& error) {
            return error.message();
        }
        return "";
    }

    std::string restore(const std::string& body) {
        return outcome(body, [this](net::EncryptedMessage& message) {
            requests::RestoreRequest(connection, message, environment.context).receiveRequest();
        });
    }
    std::string partitionRestore(const std::string& body) {
        return outcome(body, [this](net::EncryptedMessage& message) {
            requests::PartitionRestoreRequest(connection, message, environment.context).execute();
        });
    }
    std::string fileRestore(const std::string& body) {
        return outcome(body, [this](net::EncryptedMessage& message) {
            requests::FileRestoreRequest(connection, message, environment.context).receiveRequest();
        });
    }

    // The first thing the agent sent since the last call: the code of an encrypted reply,
    // or the plain code. Marks the end of what the agent sent with PROT_FINISHED first, so
    // a refused request that answered nothing reads as PROT_FINISHED.
    net::Code nextFromAgent() {
        connection.sendCode(net::PROT_FINISHED).flush();
        net::Code code = server.readRawCode();
        if (code == net::PROT_FINISHED)
            return code;
        net::Code first = code;
        if (code == net::PROT_ENCRYPTED) {
            net::EncryptedMessage reply(server, connection.protocolKey());
            reply.receive();
            first = reply.read32();
        }
        while (server.readRawCode() != net::PROT_FINISHED) {
        }
        return first;
    }

    // Every proper prefix of body is refused as an underrun.
    template <typename Parse>
    void expectEveryPrefixUnderruns(const std::string& body, Parse parse) {
        for (std::size_t length = 0; length < body.size(); ++length) {
            EXPECT_EQ(parse(body.substr(0, length)).rfind(kUnderrun, 0), 0u)
                << length << " of " << body.size() << " bytes";
        }
    }

    test::SocketPair pair;
    net::ServerConnection connection{pair.near.get()};
    test::RequestEnvironment environment;
    net::ProtocolStream server{pair.far.get()};
};

// Blowfish with the key in the body needs no session key on the connection.
TEST_F(RequestBodyTest, SoundRestoreBodiesAreAcknowledged) {
    RestoreBody plain;
    RestoreBody keyed;
    keyed.encryptionType = requests::RestoreRequest::kEncryptionBlowfish;
    keyed.key = crypto::KeyMsg(1, 128);
    RestoreBody limits;
    limits.blockSize = 65536;
    limits.maxBlocks = 1;
    for (const RestoreBody& body : {plain, keyed, limits}) {
        EXPECT_EQ(restore(body.bytes()), "");
        EXPECT_EQ(nextFromAgent(), net::PROT_ACK);
    }
}

TEST_F(RequestBodyTest, EachRestoreSettingIsRefusedBeforeAnyAnswer) {
    auto with = [](auto change) {
        RestoreBody body;
        change(body);
        return body.bytes();
    };
    EXPECT_EQ(restore(with([](RestoreBody& b) { b.encryptionType = 2; })),
              "Unkown encryption type: 2");
    EXPECT_EQ(restore(with([](RestoreBody& b) { b.blockSize = 0; })),
              "Invalid block size (0) in restore request");
    EXPECT_EQ(restore(with([](RestoreBody& b) { b.blockSize = 65537; })),
              "Invalid block size (65537) in restore request");
    EXPECT_EQ(restore(with([](RestoreBody& b) { b.maxBlocks = 0; })),
              "Invalid batch size (0) in restore request");
    EXPECT_EQ(restore(with([](RestoreBody& b) {
                  b.encryptionType = requests::RestoreRequest::kEncryptionBlowfish;
              })),
              "No backup session key to decipher the blocks with");
    EXPECT_EQ(nextFromAgent(), net::PROT_FINISHED);
}

TEST_F(RequestBodyTest, ShortLongAndOverstatedRestoreBodiesAreRefused) {
    RestoreBody keyed;
    keyed.encryptionType = requests::RestoreRequest::kEncryptionBlowfish;
    keyed.key = crypto::KeyMsg(1, 128);
    const std::string body = keyed.bytes();
    expectEveryPrefixUnderruns(body, [this](const std::string& cut) { return restore(cut); });
    EXPECT_EQ(restore(body + "x"), "unexpected input found in server restore request");

    // The key flag promises a record that is not there.
    RestoreBody flagOnly;
    std::string noRecord = flagOnly.bytes();
    noRecord.back() = 1;
    EXPECT_EQ(restore(noRecord).rfind(kUnderrun, 0), 0u);

    // Lengths that claim more than the body holds: the device ID's, then the key's.
    std::string longID = body;
    longID[12] = longID[13] = longID[14] = longID[15] = '\xFF';
    EXPECT_EQ(restore(longID),
              std::string(kUnderrun) + " (4294967295) bytes from encrypted message buffer");
    std::string longKey = body;
    std::size_t keyLength = body.size() - keyed.key->clearRecord().size() + 2;
    longKey[keyLength] = longKey[keyLength + 1] = '\xFF';
    EXPECT_EQ(restore(longKey),
              std::string(kUnderrun) + " (65535) bytes from encrypted message buffer");
    EXPECT_EQ(nextFromAgent(), net::PROT_FINISHED);
}

TEST_F(RequestBodyTest, PartitionRestoreHeaderIsCheckedBeforeAnyAnswer) {
    for (std::uint32_t size : {0u, 511u, 513u, 4096u}) {
        EXPECT_EQ(partitionRestore(partitionRestoreBody(size, 1)),
                  "Refusing partition table restore: sectors of " + std::to_string(size) +
                      " bytes (only 512-byte sectors)");
    }
    EXPECT_EQ(partitionRestore(partitionRestoreBody(512, 8193)),
              "Refusing partition table restore: 8193 sectors (at most 8192)");
    expectEveryPrefixUnderruns(partitionRestoreBody(512, 1),
                               [this](const std::string& cut) { return partitionRestore(cut); });
    EXPECT_EQ(nextFromAgent(), net::PROT_FINISHED);
}

TEST_F(RequestBodyTest, BackupBodyFieldsLandInTheirSettings) {
    std::string journalKey;
    for (std::size_t i = 0; i < filter::kJournalKeySize; ++i)
        journalKey += static_cast<char>(0xA0 + i);
    const std::string body = backupBody(journalKey);
    EXPECT_EQ(outcome(body,
                      [this, &journalKey](net::EncryptedMessage& message) {
                          requests::BackupRequest request(connection, message, environment.context);
                          request.readRequest();
                          EXPECT_EQ(request.checksums(), 1u);
                          EXPECT_EQ(request.deviceID(), "Disk 0 Partition 2");
                          EXPECT_EQ(request.compressionType(), 1u);
                          EXPECT_EQ(request.compressionLevel(), 6u);
                          EXPECT_EQ(request.encryptionType(), 1u);
                          const filter::JournalKey& key = request.serverJournalKey();
                          EXPECT_EQ(std::string(key.begin(), key.end()), journalKey);
                      }),
              "");

    auto read = [this](const std::string& cut) {
        return outcome(cut, [this](net::EncryptedMessage& message) {
            requests::BackupRequest(connection, message, environment.context).readRequest();
        });
    };
    expectEveryPrefixUnderruns(body, read);
    EXPECT_EQ(nextFromAgent(), net::PROT_FINISHED);
}

TEST_F(RequestBodyTest, FileRestoreHeaderNamesAnAbsoluteRoot) {
    EXPECT_EQ(fileRestore(fileRestoreBody("D:\\restore")), "");
    EXPECT_EQ(nextFromAgent(), net::PROT_ACK);
    EXPECT_EQ(fileRestore(fileRestoreBody("//:E:/restore/here")), "");
    EXPECT_EQ(nextFromAgent(), net::PROT_ACK);

    EXPECT_EQ(fileRestore(fileRestoreBody("restore/here")),
              "Refusing to restore files to a path that is not absolute (restore\\here)");
    std::string body = fileRestoreBody("D:\\restore");
    EXPECT_EQ(fileRestore(body + "x"),
              "Unexpected data received while reading file restore request");
    expectEveryPrefixUnderruns(body, [this](const std::string& cut) { return fileRestore(cut); });
    EXPECT_EQ(nextFromAgent(), net::PROT_FINISHED);
}

}  // namespace
