// Restore points of a test NTFS volume made by make-volume.sh (mkntfs, then ntfs-3g
// through FUSE), built into a store without an agent, and ntfscat of the same image to
// compare with.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "backup-server/store/PointBuilder.h"
#include "backup-server/pointfiles/PointFiles.h"
#include "blocks/Md5Stream.h"
#include "common/RunCommand.h"
#include "common/TempDir.h"

namespace pointtest {

namespace fs = std::filesystem;
using namespace backup_server;

inline const char* const kDevice = "Disk 0 Partition 1";
constexpr std::uint32_t kBlock = 4096;
inline const char* const kAgent = "test-agent";

// Runs make-volume.sh; false when this machine cannot mount with FUSE.
inline bool makeVolume(const fs::path& image) {
    std::string script = std::string(ZENTRAD_SOURCE_DIR) + "/tests/pointfiles/make-volume.sh";
    int status = std::system(("'" + script + "' '" + image.string() + "' 64").c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        return false;
    EXPECT_EQ(status, 0) << "make-volume.sh failed";
    return status == 0;
}

// A new point of the whole image (every block used), on top of the device's latest.
inline PointRecord addImagePoint(const fs::path& storeFolder, const fs::path& image,
                                 const KeySource& keys = {}) {
    if (!fs::exists(storeFolder / "catalogue.db"))
        createStore(storeFolder, KeyringOptions{keys.given(), keys, {}});
    Store store(storeFolder, Store::Access::write, "test", keys);
    std::optional<PointRecord> latest = store.catalogue().latest(kAgent, kDevice);
    std::unique_ptr<PointReader> base;
    if (latest)
        base = std::make_unique<PointReader>(store, *latest);
    std::uint64_t blocks = fs::file_size(image) / kBlock;
    PointBuilder builder(store, kDevice, geometryFor(kBlock, blocks), std::move(base));
    blocks::BlockMap used(blocks);
    for (std::uint64_t i = 0; i < blocks; ++i)
        used.setBit(i);
    builder.setUsed(used);
    std::ifstream in(image, std::ios::binary);
    std::string block(kBlock, '\0');
    for (std::uint64_t i = 0; i < blocks; ++i) {
        in.read(block.data(), kBlock);
        blocks::Md5Stream md5;
        md5.update(block.data(), block.size());
        builder.writeBlock(i, reinterpret_cast<const unsigned char*>(block.data()), md5.finish());
    }
    PointRecord details;
    details.agent = kAgent;
    details.kind = latest ? "incremental" : "full";
    details.journalKey = std::string(56, 'k');
    return builder.commit(details);
}

// What ntfscat prints for a file (or one of its streams) of the image.
inline std::string ntfscat(const fs::path& image, const std::string& path,
                           const std::string& stream = "") {
    std::string command = "ntfscat -f '" + image.string() + "' ";
    if (!stream.empty())
        command += "-a 0x80 -n '" + stream + "' ";
    return test::runCommand(command + "'" + path + "'", test::ErrorOutput::discarded);
}

inline std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every entry below folder (folder first), links not descended into.
inline void walk(PointFiles& files, const PointEntry& folder, std::vector<PointEntry>& out) {
    for (PointEntry& entry : files.list(folder)) {
        out.push_back(entry);
        if (entry.directory && !entry.isLink() && entry.problem.empty())
            walk(files, entry, out);
    }
}

// A shared image and a store holding one point of it, made once for the suite.
class PointVolumeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir;
        available_ = makeVolume(image());
        if (available_)
            point_ = addImagePoint(store(), image());
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        if (!available_)
            GTEST_SKIP() << "no FUSE or ntfs-3g here: the test volume cannot be made";
    }

    static fs::path image() { return dir_->path() / "volume.img"; }
    static fs::path store() { return dir_->path() / "store"; }
    // A copy of the store, for tests that damage or extend it.
    static fs::path copyStore(const std::string& name) {
        fs::path copy = dir_->path() / name;
        fs::copy(store(), copy, fs::copy_options::recursive);
        for (const char* lock : {"write.lock", "read.lock"})
            fs::remove(copy / lock);
        return copy;
    }

    static inline test::TempDir* dir_ = nullptr;
    static inline bool available_ = false;
    static inline PointRecord point_;
};

}  // namespace pointtest
