// s3://BUCKET/PREFIX stores through the backup-server tool, against the S3 gateway of the
// single-node Ceph cluster that scripts/test.sh starts (scripts/ceph.sh; it exports the
// AWS_* variables, ZENTRAD_TEST_S3 and ZENTRAD_TEST_CEPH_DIR). Each test has a prefix of
// its own in the bucket and a cache folder of its own. Without that environment every
// test is skipped, saying so.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "RestorePointFixture.h"
#include "backup-server/store/ChunkStore.h"
#include "backup-server/store/StoreLocation.h"
#include "common/ChildProcess.h"

namespace {

namespace fs = std::filesystem;

using test::kMiB;
using test::kSourceOffset;
using test::randomBytes;
using test::ToolRun;

class ObjectStoreTest : public test::RestorePointFixture {
  protected:
    void SetUp() override {
        const char* bucket = std::getenv("ZENTRAD_TEST_S3");
        if (bucket == nullptr || *bucket == '\0') {
            GTEST_SKIP() << "S3 STORE TESTS SKIPPED: ZENTRAD_TEST_S3 is not set (scripts/test.sh "
                            "sets it once scripts/ceph.sh has started Ceph; or run "
                            "scripts/ceph.sh start DIR and source DIR/s3.env)";
        }
        storeName_ = std::string(bucket) + "/e2e-" + std::to_string(::getpid()) + "-" +
                     std::to_string(std::random_device{}() & 0xFFFFFF);
        useCache(work_.path() / "cache");
    }

    // The cache folder of the tool's runs and of the test's own looks at the store.
    void useCache(const fs::path& folder) {
        cache_ = folder;
        toolOptions_ = "--cache-dir '" + folder.string() + "' ";
        backup_server::setObjectStoreOptions({folder});
    }

    // The bucket under the store's prefix, for looking at objects behind the tool's back.
    std::unique_ptr<backup_server::objects::BlobStore> bucket() const {
        return backup_server::openStoreObjects(storeName_);
    }

    std::size_t objectsUnder(const std::string& prefix) const {
        std::size_t count = 0;
        bucket()->list(prefix, [&](const backup_server::objects::BlobInfo&) { ++count; });
        return count;
    }

    // The object of the first chunk the point stores.
    std::string firstChunkKey(std::int64_t point) const {
        backup_server::Store look(storeName_, backup_server::Store::Access::look);
        backup_server::PointReader reader(look, *look.catalogue().point(point));
        backup_server::ChunkStore chunks(look.objects(), look.cipher());
        for (std::uint64_t chunk = 0; chunk < reader.geometry().chunkCount(); ++chunk) {
            backup_server::Sha256Digest name = reader.index().entry(chunk);
            if (!backup_server::isEmptyEntry(name))
                return chunks.keyOf(name);
        }
        ADD_FAILURE() << "point " << point << " stores no chunk";
        return "";
    }

    void gateway(const std::string& action) const {
        const char* dir = std::getenv("ZENTRAD_TEST_CEPH_DIR");
        ASSERT_NE(dir, nullptr) << "ZENTRAD_TEST_CEPH_DIR is not set (scripts/ceph.sh sets it)";
        std::string command = std::string(ZENTRAD_SOURCE_DIR) + "/scripts/ceph.sh " + action +
                              " '" + dir + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // The number that follows marker in text (0 when there is none).
    static std::uint64_t numberAfter(const std::string& text, const std::string& marker) {
        std::size_t at = text.find(marker);
        return at == std::string::npos ? 0 : std::stoull(text.substr(at + marker.size()));
    }

    fs::path cache_;
};

TEST_F(ObjectStoreTest, BackupsIntoABucketRestoreVerifyForgetCollectAndRebuildTheCatalogue) {
    startAgent();
    std::vector<fs::path> images = backUpThreeKinds();
    std::vector<std::int64_t> ids = pointIds();
    ASSERT_EQ(ids.size(), 3u);
    for (std::size_t i = 0; i < images.size(); ++i)
        expectRestores(ids[i], images[i]);
    fs::path atDigestCompared = images[2];
    ToolRun verify = tool("--json verify " + store());
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("\"damaged\":false"), std::string::npos) << verify.output;
    // A sampled verify reads a share of the same chunks.
    ToolRun sampled = tool("--json verify " + store() + " sample=50");
    EXPECT_EQ(sampled.status, 0) << sampled.output;
    std::uint64_t all = numberAfter(verify.output, "\"chunks_read\":");
    std::uint64_t share = numberAfter(sampled.output, "\"chunks_read\":");
    EXPECT_GT(share, 0u) << sampled.output;
    EXPECT_LT(share, all) << sampled.output;
    // Every change left a copy of the catalogue; only the newest two are kept.
    EXPECT_EQ(objectsUnder("catalogue/"), 2u);
    ToolRun status = tool("status " + store());
    EXPECT_EQ(status.status, 0) << status.output;
    EXPECT_NE(status.output.find("ok  127.0.0.1  Disk 0 Partition 0: last good point " +
                                 std::to_string(ids[2]) + " of "),
              std::string::npos)
        << status.output;

    // The first random.bin is only in the first two points: forgetting them frees it.
    ToolRun forget = tool("forget " + store() + " keep-last=1");
    ASSERT_EQ(forget.status, 0) << forget.output;
    ToolRun gc = tool("--json gc " + store());
    ASSERT_EQ(gc.status, 0) << gc.output;
    EXPECT_EQ(gc.output.find("\"chunks_removed\":0,"), std::string::npos) << gc.output;
    EXPECT_EQ(objectsUnder("points/"), 1u);
    expectRestores(ids[2], atDigestCompared);

    // A new server machine: nothing but the bucket and the server's keys.
    useCache(work_.path() / "new-cache");
    ToolRun before = tool("points " + store());
    EXPECT_NE(before.status, 0);
    EXPECT_NE(before.output.find("rebuild-catalogue"), std::string::npos) << before.output;
    ToolRun rebuild = tool("--json rebuild-catalogue " + store());
    ASSERT_EQ(rebuild.status, 0) << rebuild.output;
    fs::path result = work_.path() / "rebuild.json";
    std::ofstream(result) << rebuild.output;
    fs::path schema =
        fs::path(ZENTRAD_SOURCE_DIR) / "tests/e2e/schemas/rebuild-catalogue.schema.json";
    EXPECT_EQ(std::system(("python3 -c 'import json, sys, jsonschema; jsonschema.validate("
                           "json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))' '" +
                           result.string() + "' '" + schema.string() + "'")
                              .c_str()),
              0)
        << rebuild.output;
    EXPECT_NE(rebuild.output.find("\"points\":1,\"points_without_index\":[]"), std::string::npos)
        << rebuild.output;
    ASSERT_EQ(pointIds(), std::vector<std::int64_t>{ids[2]});
    expectRestores(ids[2], atDigestCompared);
    EXPECT_NE(tool("rebuild-catalogue " + store()).status, 0) << "a second rebuild overwrote";
}

TEST_F(ObjectStoreTest, AnEncryptedBucketShowsNothingAndItsCatalogueComesBackOnlyWithItsSecret) {
    startAgent();
    const std::string marker = "plain text that must never reach the bucket: 7e3a91c4";
    std::string marked = randomBytes(300000, 9);
    marked.replace(70000, marker.size(), marker);
    put("marked.bin", marked);
    fs::path passphrase = work_.path() / "passphrase";
    std::ofstream(passphrase) << "an operator's passphrase\n";
    const std::string secret = "--password-file '" + passphrase.string() + "' ";
    storeName_ += "-sealed";
    useCache(work_.path() / "sealed-cache");
    toolOptions_ += secret;
    storeKeys_.passwordFile = passphrase;
    ToolRun init = tool("init " + store());  // encrypted unless --no-encryption
    ASSERT_EQ(init.status, 0) << init.output;
    fs::path atFull = backup("at-full.img");
    ASSERT_EQ(pointIds().size(), 1u);
    std::vector<std::string> keys;
    bucket()->list("",
                   [&](const backup_server::objects::BlobInfo& info) { keys.push_back(info.key); });
    EXPECT_GT(keys.size(), 3u);
    for (const std::string& key : keys)
        EXPECT_EQ(bucket()->get(key).find(marker), std::string::npos) << key;

    // The catalogue's copy in the bucket is sealed too: a new machine needs the secret.
    useCache(work_.path() / "keyless-cache");
    EXPECT_NE(tool("rebuild-catalogue " + store()).status, 0);
    useCache(work_.path() / "new-cache");
    toolOptions_ += secret;
    ToolRun rebuild = tool("rebuild-catalogue " + store());
    ASSERT_EQ(rebuild.status, 0) << rebuild.output;
    expectRestores(pointIds().front(), atFull);
    // A file read out of the point straight from the bucket's chunks.
    ToolRun listed = tool("ls " + store() + " 'Disk 0 Partition 0'");
    EXPECT_NE(listed.output.find("marked.bin"), std::string::npos) << listed.output;
    fs::path out = work_.path() / "extracted";
    ToolRun extracted =
        tool("extract " + store() + " 'Disk 0 Partition 0' /marked.bin '" + out.string() + "'");
    ASSERT_EQ(extracted.status, 0) << extracted.output;
    EXPECT_TRUE(test::readWholeFile(out / "marked.bin") == marked);
    // And back onto the volume through the agent.
    sim("letter F 0:0");
    ToolRun restored =
        tool("restore-files " + store() + " 'Disk 0 Partition 0' /marked.bin 'target=F:\\back'");
    ASSERT_EQ(restored.status, 0) << restored.output;
    EXPECT_TRUE(test::readWholeFile(agent_->hostRoot() / "drives/F/back/marked.bin") == marked);

    // A partition table kept (sealed) in the bucket, written onto a new blank disk.
    ToolRun saved = tool("partition-backup 0 " + store());
    ASSERT_EQ(saved.status, 0) << saved.output;
    ToolRun tables = tool("--json partition-tables " + store());
    EXPECT_EQ(tables.status, 0) << tables.output;
    EXPECT_NE(tables.output.find("\"disk\":\"Disk 0\""), std::string::npos) << tables.output;
    EXPECT_EQ(objectsUnder("tables/"), 1u);
    sim("add-disk --size 72M");
    ToolRun table = tool("partition-restore 1 " + store() + " 0");
    ASSERT_EQ(table.status, 0) << table.output;
    EXPECT_TRUE(test::readAt(agent_->diskImage(1), 0, 512) ==
                test::readAt(agent_->diskImage(0), 0, 512));
}

TEST_F(ObjectStoreTest, ADamagedChunkIsSetAsideByVerifyAndTheNextBackupHealsIt) {
    startAgent();
    fs::path atFirst = backup("at-first.img");
    std::int64_t first = pointIds().front();
    std::string key = firstChunkKey(first);
    ASSERT_FALSE(key.empty());
    std::string bytes = bucket()->get(key);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
    bucket()->remove(key);
    bucket()->put(key, bytes);

    ToolRun verify = tool("verify " + store());
    EXPECT_NE(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("DAMAGED"), std::string::npos) << verify.output;
    EXPECT_NE(verify.output.find(key.substr(key.rfind('/') + 1)), std::string::npos)
        << verify.output;
    EXPECT_FALSE(bucket()->head(key));
    EXPECT_EQ(bucket()->get("damaged/" + key.substr(key.rfind('/') + 1)), bytes);

    ToolRun again = tool("backup 'Disk 0 Partition 0' " + store());
    ASSERT_EQ(again.status, 0) << again.output;
    ToolRun healed = tool("verify " + store());
    EXPECT_EQ(healed.status, 0) << healed.output;
    EXPECT_NE(healed.output.find("verified 2 points"), std::string::npos) << healed.output;
    expectRestores(first, atFirst);
}

TEST_F(ObjectStoreTest, AGatewayStoppedDuringABackupAddsNoPointAndTheNextBackupCompletes) {
    startAgent();
    fs::path atFull = backup("at-full.img");
    put("large.bin", randomBytes(20 * kMiB, 9));
    fs::path output = work_.path() / "cut-off.out";
    test::ChildProcess child =
        backupInTheBackground(output, " --cache-dir '" + cache_.string() + "'");
    // The index is begun in the cache folder when the first blocks are on their way.
    bool begun = false;
    for (int i = 0; i < 30000 && !begun; ++i) {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(cache_ / "scratch", ignored))
            begun = begun || entry.path().extension() == ".part";
        if (!begun)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(begun) << "the backup never began";
    gateway("stop-gateway");
    std::optional<int> status = child.wait(std::chrono::seconds(120));
    gateway("start-gateway");
    ASSERT_TRUE(status.has_value()) << "the backup did not end without its store";
    EXPECT_NE(*status, 0) << test::readWholeFile(output);
    ASSERT_EQ(pointIds().size(), 1u) << test::readWholeFile(output);
    expectRestores(pointIds().front(), atFull);

    ToolRun next = backupOnceTheAgentIsFree();
    ASSERT_EQ(next.status, 0) << next.output;
    ASSERT_EQ(pointIds().size(), 2u);
    expectRestores(pointIds().back(), extract(kSourceOffset, "now.img"));
    ToolRun verify = tool("verify " + store());
    EXPECT_EQ(verify.status, 0) << verify.output;
}

}  // namespace
