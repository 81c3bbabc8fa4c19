// An encrypted store: nothing in its files tells the data or names it, points come back
// byte for byte, only the right passphrase or key file opens it, and a sealed file that
// was edited, cut short or put in another's place is found damaged.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "PointStoreFixture.h"
#include "backup-server/commands/Command.h"
#include "backup-server/store/PartitionStore.h"
#include "backup-server/store/StoreError.h"
#include "backup-server/store/StoreKeyring.h"
#include "backup-server/store/StoreVerify.h"

namespace {

namespace fs = std::filesystem;
using namespace backup_server;
using namespace store_test;

const std::string kMarker = "plain text that must never reach the disk: 7f3c9a51";
// Cheap enough for tests; real stores use the default cost.
const ScryptCost kTestCost{10, 8, 1};

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// A volume whose used blocks are random data, each with the marker in it.
Volume markedVolume() {
    Volume volume;
    for (std::uint64_t i = 0; i < kBlocks; i += 3) {
        volume.write(i, static_cast<unsigned>(i));
        volume.blocks[i].replace(100, kMarker.size(), kMarker);
    }
    return volume;
}

unsigned modeOf(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 0777 : 0;
}

class StoreEncryptionTest : public PointStoreTest {
  protected:
    void SetUp() override {
        passwordFile_ = secrets_.path() / "password";
        writeFile(passwordFile_, "correct horse battery staple\n");
        keys_.passwordFile = passwordFile_;
        createStoreKeyring(dir_.path(), KeyringOptions{true, keys_, kTestCost});
    }

    // Whether any file of the store holds the bytes.
    bool storeHolds(const std::string& bytes) const {
        for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
            if (entry.is_regular_file() && readAll(entry.path()).find(bytes) != std::string::npos)
                return true;
        }
        return false;
    }

    VerifyReport verify(const KeySource& keys) {
        Store store(dir_.path(), Store::Access::read, "verify", keys);
        return verifyPoints(store, store.catalogue().points(), nullptr);
    }

    test::TempDir secrets_;
    fs::path passwordFile_;
};

TEST_F(StoreEncryptionTest, FilesAndNamesRevealNothingAndPointsRestoreByteForByte) {
    Volume volume = markedVolume();
    PointRecord first = addPoint(volume);
    volume.write(7, 7007);
    volume.blocks[7].replace(100, kMarker.size(), kMarker);
    PointRecord second = addPoint(volume, {7});
    dropStore();
    expectPointHolds(second.id, volume);

    EXPECT_FALSE(storeHolds(kMarker));
    Store store(dir_.path(), Store::Access::look, "", keys_);
    PointReader reader(store, first);
    for (std::uint64_t chunk = 0; chunk < reader.geometry().chunkCount(); ++chunk) {
        Sha256Digest name = reader.index().entry(chunk);
        ChunkShape shape = reader.geometry().shapeOf(chunk);
        const unsigned char* data = reader.block(chunk * reader.geometry().chunkBlocks);
        EXPECT_NE(name, chunkName(shape, data)) << "chunk " << chunk << " named by its content";
        std::string file = readAll(ChunkStore(store.chunkFolder()).pathOf(name));
        EXPECT_EQ(file.substr(0, 4), "ZTSE");
    }
    EXPECT_EQ(readAll(store.indexPath(first.indexFile)).substr(0, 4), "ZTSE");
    EXPECT_EQ(modeOf(StoreKeyring::folderOf(dir_.path())), 0700u);
    for (const auto& entry : fs::directory_iterator(StoreKeyring::folderOf(dir_.path())))
        EXPECT_EQ(modeOf(entry.path()), 0600u) << entry.path();

    // The same volume in a store made without encryption shows the marker: the check
    // above is one that can fail.
    test::TempDir plain;
    createStore(plain.path());
    {
        Store open(plain.path(), Store::Access::write, "test");
        PointBuilder builder(open, kDevice, geometryFor(kBlock, kBlocks), nullptr);
        builder.setUsed(volume.used);
        for (const auto& [index, data] : volume.blocks) {
            builder.writeBlock(index, reinterpret_cast<const unsigned char*>(data.data()),
                               md5(data));
        }
        PointRecord details;
        details.agent = kAgent;
        details.kind = "full";
        details.journalKey = std::string(56, 'k');
        details.protocol = 1;
        builder.commit(details);
    }
    bool found = false;
    for (const auto& entry : fs::recursive_directory_iterator(plain.path()))
        found |=
            entry.is_regular_file() && readAll(entry.path()).find(kMarker) != std::string::npos;
    EXPECT_TRUE(found);
}

TEST_F(StoreEncryptionTest, OnlyTheRightSecretOpensTheStore) {
    addPoint(markedVolume());
    dropStore();

    KeySource none;
    try {
        verify(none);
        FAIL() << "opened without a passphrase";
    } catch (const StoreError& error) {
        EXPECT_NE(error.message().find("--password-file FILE"), std::string::npos)
            << error.message();
        EXPECT_NE(error.message().find("ZENTRAD_PASSWORD_FILE"), std::string::npos);
    }
    KeySource wrong;
    wrong.passwordFile = secrets_.path() / "wrong";
    writeFile(*wrong.passwordFile, "correct horse battery stable\n");
    try {
        verify(wrong);
        FAIL() << "opened with a wrong passphrase";
    } catch (const StoreError& error) {
        EXPECT_NE(error.message().find("Wrong passphrase"), std::string::npos) << error.message();
    }
    // Reading the catalogue needs no key.
    Store look(dir_.path(), Store::Access::look, "", wrong);
    EXPECT_EQ(look.catalogue().points().size(), 1u);
    EXPECT_FALSE(verify(keys_).damaged());

    // Without its keys folder the store is not taken for an unencrypted one: no point
    // goes in unsealed, and readers say why they cannot read.
    fs::rename(StoreKeyring::folderOf(dir_.path()), secrets_.path() / "keys");
    EXPECT_THROW(Store(dir_.path(), Store::Access::write, "backup X"), StoreError);
    VerifyReport report = verify(none);
    ASSERT_EQ(report.points.size(), 1u);
    EXPECT_NE(report.points[0].indexProblem.find("sealed, but the store has no keys"),
              std::string::npos)
        << report.points[0].indexProblem;
}

TEST_F(StoreEncryptionTest, KeysAreAddedAndRemovedButNeverTheLast) {
    addPoint(markedVolume());
    dropStore();
    StoreKeyring keyring(dir_.path());
    ASSERT_EQ(keyring.entries().size(), 1u);
    std::string first = keyring.entries().front().id;
    std::string master = keyring.unlock(keys_);

    fs::path keyFile = secrets_.path() / "store.key";
    createKeyFile(keyFile);
    EXPECT_EQ(modeOf(keyFile), 0600u);
    KeySource byFile;
    byFile.keyFile = keyFile;
    std::string second = keyring.add(master, *byFile.secret(""), kTestCost);
    KeySource other;
    other.passwordFile = secrets_.path() / "other";
    writeFile(*other.passwordFile, "a second passphrase");
    std::string third = keyring.add(master, *other.secret(""), kTestCost);

    EXPECT_EQ(StoreKeyring(dir_.path()).entries().size(), 3u);
    EXPECT_FALSE(verify(byFile).damaged());
    EXPECT_FALSE(verify(other).damaged());

    keyring.remove(first);
    EXPECT_THROW(verify(keys_), StoreError);
    EXPECT_FALSE(verify(other).damaged());
    keyring.remove(third);
    EXPECT_THROW(keyring.remove(second), StoreError);
    EXPECT_THROW(keyring.remove("00000000"), StoreError);
    EXPECT_FALSE(verify(byFile).damaged());
    // A key file that is not the store's opens nothing.
    fs::path stranger = secrets_.path() / "stranger.key";
    createKeyFile(stranger);
    KeySource strangerSource;
    strangerSource.keyFile = stranger;
    EXPECT_THROW(verify(strangerSource), StoreError);
}

TEST_F(StoreEncryptionTest, SealedFilesSwappedEditedOrCutShortAreDamaged) {
    Volume volume = markedVolume();
    PointRecord point = addPoint(volume);
    dropStore();
    ASSERT_FALSE(verify(keys_).damaged());

    // Chunk 0 copied over chunk 1's name: whole and sealed, but sealed as another chunk.
    fs::copy_file(chunkPath(point, 0), chunkPath(point, 1), fs::copy_options::overwrite_existing);
    // One byte of chunk 2's cipher text changed.
    fs::path edited = chunkPath(point, 2);
    std::string bytes = readAll(edited);
    bytes[bytes.size() / 2] ^= 0x01;
    writeFile(edited, bytes);
    // Chunk 3 cut at a segment boundary, so what is left has whole segments.
    fs::path cut = chunkPath(point, 3);
    std::string whole = readAll(cut);
    ASSERT_GT(whole.size(), kSealedHeaderBytes + kSealSegmentBytes + kSealTagBytes);
    writeFile(cut, whole.substr(0, kSealedHeaderBytes + kSealSegmentBytes + kSealTagBytes));

    VerifyReport report = verify(keys_);
    ASSERT_EQ(report.points.size(), 1u);
    std::set<std::uint64_t> damaged;
    for (const auto& chunk : report.points[0].chunks)
        damaged.insert(chunk.chunk);
    EXPECT_EQ(damaged, (std::set<std::uint64_t>{1, 2, 3}));
    Store store(dir_.path(), Store::Access::look, "", keys_);
    PointReader reader(store, point);
    EXPECT_THROW(reader.block(kBlock + 1), StoreError);

    // An index edited anywhere (here in its used map, near the end) no longer opens.
    fs::path index = store.indexPath(point.indexFile);
    std::string indexBytes = readAll(index);
    indexBytes[indexBytes.size() - 40] ^= 0x01;
    writeFile(index, indexBytes);
    report = verify(keys_);
    EXPECT_NE(report.points[0].indexProblem.find("does not open"), std::string::npos)
        << report.points[0].indexProblem;
}

TEST(StoreKeyringOptions, InitWordsChooseEncryptionAndASecretIsRequired) {
    std::vector<std::string> words{"/srv/store", "--no-encryption", "scrypt-n=262144", "x=1"};
    KeyringOptions options = parseKeyringOptions(words, {});
    EXPECT_FALSE(options.encrypt);
    EXPECT_EQ(options.cost.log2N, 18);
    EXPECT_EQ(words, (std::vector<std::string>{"/srv/store", "x=1"}));
    std::vector<std::string> odd{"scrypt-n=1000"};
    EXPECT_THROW(parseKeyringOptions(odd, {}), UsageError);

    test::TempDir root;
    createStoreKeyring(root.path(), options);
    EXPECT_FALSE(StoreKeyring::exists(root.path()));
    options.encrypt = true;
    try {
        createStoreKeyring(root.path(), options);
        FAIL() << "an encrypted store made without a secret";
    } catch (const StoreError& error) {
        EXPECT_NE(error.message().find("--password-file FILE"), std::string::npos);
        EXPECT_NE(error.message().find("--no-encryption"), std::string::npos);
    }
    EXPECT_FALSE(StoreKeyring::exists(root.path()));
    // A key file named for a new store is made, and opens it.
    options.keys.keyFile = root.path() / "new.key";
    options.cost = kTestCost;
    createStoreKeyring(root.path(), options);
    EXPECT_EQ(StoreKeyring(root.path()).unlock(options.keys).size(), 32u);
}

TEST(StoreKeyringFormat, WrappedKeysRoundTripAndRefuseOtherBytes) {
    KeySecret secret(SecretKind::passphrase, "passphrase", "test");
    std::string master(32, 'm');
    WrappedKey wrapping = wrapMasterKey(master, secret, kTestCost);
    std::string bytes = wrapping.encode();
    ASSERT_EQ(bytes.size(), kWrappedKeyBytes);
    WrappedKey parsed;
    std::string problem;
    ASSERT_TRUE(parsed.parse(bytes, problem)) << problem;
    EXPECT_EQ(unwrapMasterKey(parsed, secret), master);
    EXPECT_EQ(unwrapMasterKey(parsed, KeySecret(SecretKind::passphrase, "Passphrase", "t")), "");
    // The cost is bound to the wrapping: lowering it opens nothing.
    bytes[16] = 11;
    ASSERT_TRUE(parsed.parse(bytes, problem));
    EXPECT_EQ(unwrapMasterKey(parsed, secret), "");
    bytes[16] = 40;  // a cost this program refuses to compute
    EXPECT_FALSE(parsed.parse(bytes, problem));
    EXPECT_FALSE(parsed.parse(bytes.substr(1), problem));
}

// Partition tables are sealed like indexes: no sector is on the disk in the clear, a table
// copied over another generation's name does not open, and a table an earlier store kept
// plain still loads.
TEST_F(StoreEncryptionTest, PartitionTablesAreSealedAndEarlierPlainOnesStillLoad) {
    PartitionTableImage image;
    image.sectors.push_back({0, kMarker + std::string(512 - kMarker.size(), 'x')});
    image.sectors.push_back({512, test::randomBytes(512, 3)});
    PartitionTableRecord first;
    PartitionTableRecord second;
    {
        Store writer(dir_.path(), Store::Access::write, "test", keys_);
        first = savePartitionTable(writer, kAgent, "Disk 0", image);
        second = savePartitionTable(writer, kAgent, "Disk 0", image);
    }
    EXPECT_FALSE(storeHolds(kMarker));

    Store store(dir_.path(), Store::Access::read, "test", keys_);
    EXPECT_EQ(loadPartitionTable(store, first).sectors, image.sectors);
    EXPECT_THROW(loadPartitionTable(Store(dir_.path(), Store::Access::look), first), StoreError);
    fs::copy_file(partitionTableFile(store, second), partitionTableFile(store, first),
                  fs::copy_options::overwrite_existing);
    EXPECT_THROW(loadPartitionTable(store, first), StoreError);

    writeFile(partitionTableFile(store, second),
              partitionTableBytes(*StoreCipher::plain(), second.file, image));
    EXPECT_EQ(loadPartitionTable(store, second).sectors, image.sectors);
}

}  // namespace
