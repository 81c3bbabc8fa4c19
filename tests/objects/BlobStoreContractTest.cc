// One contract, run against every blob store: the local folder always, and an S3 bucket when
// the test run has one (scripts/test.sh starts a single-node Ceph cluster with scripts/ceph.sh
// and exports its settings; without them the S3 cases are skipped, saying how to run them).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>

#include "TestBucket.h"
#include "backup-server/objects/FolderBlobStore.h"
#include "backup-server/objects/ParallelPuts.h"
#include "backup-server/objects/S3BlobStore.h"
#include "common/TempDir.h"

namespace backup_server::objects {
namespace {

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

std::vector<BlobInfo> listed(BlobStore& store, const std::string& prefix) {
    std::vector<BlobInfo> objects;
    store.list(prefix, [&](const BlobInfo& object) { objects.push_back(object); });
    std::sort(objects.begin(), objects.end(),
              [](const BlobInfo& a, const BlobInfo& b) { return a.key < b.key; });
    return objects;
}

BlobError::Kind errorKind(const std::function<void()>& call) {
    try {
        call();
    } catch (const BlobError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no BlobError";
    return BlobError::Kind::failed;
}

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

// Parts of 5 MiB, the least S3 takes, so that a file of a few parts stays small.
constexpr std::uint64_t kPartBytes = std::uint64_t{5} << 20;

enum class Kind { folder, s3 };

class BlobStoreContract : public testing::TestWithParam<Kind> {
  protected:
    void SetUp() override {
        if (GetParam() == Kind::folder) {
            store_ = std::make_unique<FolderBlobStore>(folder_.path() / "objects");
            return;
        }
        std::string name = test::testS3Store();
        if (name.empty())
            GTEST_SKIP() << test::kNoS3Server;
        S3Options options;
        options.pageSize = 4;  // listings of a few objects already take several pages
        options.firstDelay = std::chrono::milliseconds(20);
        options.partBytes = kPartBytes;
        store_ = std::make_unique<S3BlobStore>(S3Settings::fromEnvironment(name), options);
    }
    void TearDown() override {
        if (GetParam() == Kind::s3 && store_) {
            for (const BlobInfo& object : listed(*store_, ""))
                store_->remove(object.key);
        }
    }

    test::TempDir folder_;
    std::unique_ptr<BlobStore> store_;
};

TEST_P(BlobStoreContract, PutGetHeadRemove) {
    std::string bytes = randomBytes(3 << 20, 1);  // several reads and writes of the transport
    store_->put("chunks/ab/ab01", bytes);
    EXPECT_EQ(store_->get("chunks/ab/ab01"), bytes);
    EXPECT_EQ(store_->head("chunks/ab/ab01"), bytes.size());
    store_->put("empty", "");
    EXPECT_EQ(store_->get("empty"), "");
    EXPECT_EQ(store_->head("empty"), 0u);

    EXPECT_EQ(store_->head("chunks/ab/ab02"), std::nullopt);
    EXPECT_EQ(errorKind([&] { store_->get("chunks/ab/ab02"); }), BlobError::Kind::missing);
    EXPECT_EQ(errorKind([&] {
                  store_->get("chunks/ab/ab02", BlobRange{0, 0});
              }),
              BlobError::Kind::missing);

    store_->remove("chunks/ab/ab01");
    EXPECT_EQ(store_->head("chunks/ab/ab01"), std::nullopt);
    EXPECT_EQ(errorKind([&] { store_->get("chunks/ab/ab01"); }), BlobError::Kind::missing);
    store_->remove("chunks/ab/ab01");  // gone already: not an error
    store_->sync();
}

TEST_P(BlobStoreContract, RangesAreClippedAtTheEnd) {
    std::string bytes = randomBytes(100000, 2);
    store_->put("points/p1", bytes);
    EXPECT_EQ(store_->get("points/p1", BlobRange{10, 20}), bytes.substr(10, 20));
    EXPECT_EQ(store_->get("points/p1", BlobRange{0, 1}), bytes.substr(0, 1));
    EXPECT_EQ(store_->get("points/p1", BlobRange{99990, 1000}), bytes.substr(99990));
    EXPECT_EQ(store_->get("points/p1", BlobRange{100000, 10}), "");
    EXPECT_EQ(store_->get("points/p1", BlobRange{1u << 30, 10}), "");
    EXPECT_EQ(store_->get("points/p1", BlobRange{5, 0}), "");
}

TEST_P(BlobStoreContract, PuttingAKeyAgainKeepsOneWholeObject) {
    std::string bytes = randomBytes(70000, 3);
    store_->put("chunks/cd/cd01", bytes);
    store_->put("chunks/cd/cd01", bytes);
    EXPECT_EQ(store_->get("chunks/cd/cd01"), bytes);
    std::vector<BlobInfo> objects = listed(*store_, "");
    ASSERT_EQ(objects.size(), 1u);  // and no temporary file left behind
    EXPECT_EQ(objects[0].key, "chunks/cd/cd01");
    EXPECT_EQ(objects[0].size, bytes.size());
}

// What a backup relies on: an object already there is neither sent nor counted again, and
// the bytes counted are those of the objects actually stored.
TEST_P(BlobStoreContract, PutsUnlessPresentSkipObjectsThereAndCountWhatTheyStore) {
    store_->put("chunks/aa/aa01", "kept as it is");
    ParallelPuts puts(*store_, 3);
    puts.putUnlessPresent("chunks/aa/aa01", "other bytes");
    puts.putUnlessPresent("chunks/bb/bb01", std::string(1000, 'b'));
    puts.put("chunks/cc/cc01", std::string(10, 'c'));
    puts.finish();
    EXPECT_EQ(puts.bytesPut(), 1010u);
    EXPECT_EQ(store_->get("chunks/aa/aa01"), "kept as it is");
    EXPECT_EQ(store_->get("chunks/bb/bb01"), std::string(1000, 'b'));
}

TEST_P(BlobStoreContract, ListingsSpanPagesAndKeepToTheirPrefix) {
    // 13 objects in parallel: more than three pages of four.
    ParallelPuts puts(*store_, 4);
    std::vector<std::string> chunkKeys;
    for (int i = 0; i < 13; ++i) {
        char key[32];
        std::snprintf(key, sizeof(key), "chunks/%02x/%02x%04d", i * 19 % 256, i * 19 % 256, i);
        chunkKeys.push_back(key);
        puts.put(key, std::string(static_cast<std::size_t>(i + 1), 'x'));
    }
    puts.put("points/one", "1");
    puts.put("chunksides", "not below chunks/");
    puts.finish();
    std::sort(chunkKeys.begin(), chunkKeys.end());

    std::vector<BlobInfo> chunks = listed(*store_, "chunks/");
    ASSERT_EQ(chunks.size(), chunkKeys.size());
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].key, chunkKeys[i]);
        EXPECT_EQ(chunks[i].size, std::stoul(chunks[i].key.substr(12)) + 1);
    }
    EXPECT_EQ(listed(*store_, "chunks").size(), chunkKeys.size() + 1);
    EXPECT_EQ(listed(*store_, "chunks/13/").size(), 1u);
    EXPECT_EQ(listed(*store_, "chunks/1").size(), 1u);
    EXPECT_EQ(listed(*store_, "").size(), chunkKeys.size() + 2);
    EXPECT_TRUE(listed(*store_, "nothing/").empty());
}

TEST_P(BlobStoreContract, FilesOfAnySizeAreStoredWhole) {
    // A bucket takes this one in three parts and a tail, a folder by its name alone.
    std::string big = randomBytes(3 * kPartBytes + 123457, 6);
    std::filesystem::path file = folder_.path() / "big.part";
    writeFile(file, big);
    store_->putFile("points/big.index", file);
    EXPECT_EQ(store_->head("points/big.index"), big.size());
    EXPECT_TRUE(store_->get("points/big.index") == big);
    std::string small = randomBytes(1000, 7);
    writeFile(file, small);  // under a part: one put
    store_->putFile("points/small.index", file);
    EXPECT_EQ(store_->get("points/small.index"), small);
    EXPECT_EQ(listed(*store_, "").size(), 2u);  // no temporary file, no part left over
    if (auto* s3 = dynamic_cast<S3BlobStore*>(store_.get())) {
        EXPECT_TRUE(s3->unfinishedUploads("").empty());
        return;
    }
    EXPECT_FALSE(std::filesystem::exists(file)) << "moved into place";
    // From another file system a folder copies the file, and leaves it.
    struct stat shm {
    }, here{};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(folder_.path().c_str(), &here) != 0 ||
        shm.st_dev == here.st_dev)
        return;
    std::filesystem::path other = "/dev/shm/zentrad-put-" + std::to_string(::getpid());
    writeFile(other, small + "x");
    store_->putFile("points/copied.index", other);
    EXPECT_EQ(store_->get("points/copied.index"), small + "x");
    EXPECT_TRUE(std::filesystem::exists(other));
    std::filesystem::remove(other);
}

TEST_P(BlobStoreContract, KeysThatCouldLeaveTheStoreAreRefused) {
    for (const std::string& key :
         std::vector<std::string>{"", "../x", "/x", "a//b", "a/", ".hidden", "a/../b", "a b",
                                  "a\\b", std::string(kMaxKeyLength + 1, 'k')}) {
        EXPECT_EQ(errorKind([&] { store_->put(key, "x"); }), BlobError::Kind::invalid) << key;
        EXPECT_EQ(errorKind([&] { store_->get(key); }), BlobError::Kind::invalid) << key;
    }
    EXPECT_EQ(errorKind([&] { store_->list("../", [](const BlobInfo&) {}); }),
              BlobError::Kind::invalid);
    EXPECT_TRUE(listed(*store_, "").empty());
}

INSTANTIATE_TEST_SUITE_P(Stores, BlobStoreContract, testing::Values(Kind::folder, Kind::s3),
                         [](const testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::folder ? "Folder" : "S3";
                         });

}  // namespace
}  // namespace backup_server::objects
