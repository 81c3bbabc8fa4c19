// A restore packed into a file ahead of time gives back the units, options and key it was
// packed with, and a damaged file is refused rather than replayed in part.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "backup-server/BatchPipeline.h"
#include "backup-server/PackedRestore.h"
#include "common/TempDir.h"
#include "common/TestBytes.h"
#include "crypto/CryptoLibrary.h"
#include "runtime/Exceptions.h"

namespace {

using backup_server::RestoreOptions;
using backup_server::RestoreUnit;

constexpr std::uint32_t kBlockSize = 4096;

// count blocks, every other one random (so some deflate and some do not).
class HalfRandomSource : public backup_server::BlockSource {
  public:
    explicit HalfRandomSource(std::uint64_t count) : count_(count) {}
    blocks::BlockPtr next() override {
        if (given_ == count_)
            return nullptr;
        std::string content = given_ % 2 == 0
                                  ? test::randomBytes(kBlockSize, static_cast<unsigned>(given_))
                                  : std::string(kBlockSize, 'z');
        auto data = std::make_shared<unsigned char[]>(kBlockSize);
        std::memcpy(data.get(), content.data(), kBlockSize);
        auto block = std::make_shared<blocks::Block>(given_, kBlockSize, std::move(data),
                                                     kBlockSize, false, false);
        block->computeDigest();
        ++given_;
        return block;
    }

  private:
    std::uint64_t count_;
    std::uint64_t given_ = 0;
};

std::vector<RestoreUnit> unitsOf(const RestoreOptions& options, std::uint64_t count) {
    HalfRandomSource source(count);
    backup_server::BatchPipeline pipeline(options, source, 2);
    std::vector<RestoreUnit> units;
    for (RestoreUnit unit; pipeline.next(unit);)
        units.push_back(unit);
    return units;
}

class PackedRestoreTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { crypto::CryptoLibrary::initialise(); }
    test::TempDir dir;
};

TEST_F(PackedRestoreTest, ReplaysTheUnitsOptionsAndKeyItWasPackedWith) {
    RestoreOptions options;
    options.blockSize = kBlockSize;
    options.batchBlocks = 5;
    options.compressionType = 1;
    options.compressionLevel = 1;
    options.encryptionType = 1;
    options.requestKey.emplace(crypto::KeyMsg::kGeneratedType, 128);
    HalfRandomSource source(23);
    auto file = dir.path() / "packed";
    auto summary = backup_server::packRestore(options, source, file);
    EXPECT_EQ(summary.batches, 5u);
    EXPECT_EQ(summary.blocksSent, 23u);

    backup_server::PackedRestoreReader reader(file);
    const RestoreOptions& read = reader.options();
    EXPECT_EQ(read.blockSize, kBlockSize);
    EXPECT_EQ(read.batchBlocks, 5u);
    EXPECT_EQ(read.maxBlocks, 5u);
    EXPECT_EQ(read.compressionType, 1u);
    EXPECT_EQ(read.encryptionType, 1u);
    ASSERT_TRUE(read.requestKey);
    EXPECT_TRUE(*read.requestKey == *options.requestKey);

    std::vector<RestoreUnit> expected = unitsOf(options, 23);
    RestoreUnit unit;
    std::size_t index = 0;
    for (; reader.next(unit); ++index) {
        ASSERT_LT(index, expected.size());
        EXPECT_EQ(unit.batch, index);
        EXPECT_EQ(unit.blockCount, expected[index].blockCount);
        EXPECT_EQ(unit.plainBytes, expected[index].plainBytes);
        EXPECT_EQ(unit.recordBytes, expected[index].recordBytes);
        EXPECT_EQ(unit.compressedBlocks, expected[index].compressedBlocks);
        EXPECT_TRUE(unit.bytes == expected[index].bytes) << "batch " << index;
    }
    EXPECT_EQ(index, expected.size());

    // Plain: no key is written or read back.
    RestoreOptions plain;
    plain.blockSize = kBlockSize;
    HalfRandomSource plainSource(3);
    backup_server::packRestore(plain, plainSource, file);
    EXPECT_FALSE(backup_server::PackedRestoreReader(file).options().requestKey);
}

TEST_F(PackedRestoreTest, DamagedOrForeignFilesAndSessionKeysAreRefused) {
    RestoreOptions options;
    options.blockSize = kBlockSize;
    options.encryptionType = 1;
    options.sessionKey.emplace(crypto::KeyMsg::kGeneratedType, 128);
    HalfRandomSource source(4);
    auto file = dir.path() / "packed";
    EXPECT_THROW(backup_server::packRestore(options, source, file), runtime::AgentException);

    options.encryptionType = 0;
    backup_server::packRestore(options, source, file);
    std::string whole;
    {
        std::ifstream in(file, std::ios::binary);
        whole.assign(std::istreambuf_iterator<char>(in), {});
    }
    auto rewrite = [&](const std::string& content) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    };
    rewrite(whole.substr(0, whole.size() - 1));
    backup_server::PackedRestoreReader shortened(file);
    RestoreUnit unit;
    EXPECT_THROW(shortened.next(unit), runtime::AgentException);

    rewrite("not packed at all");
    EXPECT_THROW(backup_server::PackedRestoreReader{file}, runtime::AgentException);
    rewrite("zrpack1\n");
    EXPECT_THROW(backup_server::PackedRestoreReader{file}, runtime::AgentException);
}

}  // namespace
