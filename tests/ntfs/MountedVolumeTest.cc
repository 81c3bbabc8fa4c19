// Cases that need the volume mounted with ntfs-3g: directories, sparse files and files so
// fragmented that their runs spill into extension records through $ATTRIBUTE_LIST.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "NtfsTools.h"
#include "common/RunCommand.h"
#include "common/TestBytes.h"

namespace ntfstest {
namespace {

class MountedVolumeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!toolsAvailable()) {
            GTEST_SKIP() << "ntfs-3g tools (mkntfs, ntfscp, ntfsinfo, ntfscat) are not installed";
        }
        image_ = std::make_unique<NtfsImage>(scratch_.path() / "m.img", 32 << 20, 4096);
        mount_ = std::make_unique<FuseMount>(image_->file(), scratch_.path() / "mnt");
        if (!mount_->mounted()) {
            GTEST_SKIP() << "cannot mount NTFS with ntfs-3g here (FUSE needs /dev/fuse and root)";
        }
    }
    std::filesystem::path inMount(const std::string& path) const { return mount_->path() / path; }

    ScratchDir scratch_;
    std::unique_ptr<NtfsImage> image_;
    std::unique_ptr<FuseMount> mount_;
};

TEST_F(MountedVolumeTest, FindsFilesInSubdirectories) {
    std::filesystem::create_directories(inMount("Dir/Sub"));
    for (int i = 0; i < 60; ++i) {
        std::ofstream(inMount("Dir/n" + std::to_string(i))) << i;
    }
    std::string contents = test::randomBytes(50000, 7);
    std::ofstream(inMount("Dir/Sub/File.bin"), std::ios::binary) << contents;
    mount_->unmount();

    auto volume = image_->open();
    ASSERT_TRUE(volume) << volume.error().message;
    auto runs = volume.value().fileExtents(L"\\dir\\SUB\\file.BIN");
    ASSERT_TRUE(runs) << runs.error().message;
    EXPECT_EQ(runs.value(), image_->toolRuns("/Dir/Sub/File.bin"));
    EXPECT_TRUE(volume.value().exists(L"\\Dir\\Sub\\").value());
    EXPECT_TRUE(volume.value().exists(L"\\Dir\\n59").value());
    auto missing = volume.value().fileExtents(L"\\Dir\\Nope\\File.bin");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, platform::kErrorPathNotFound);
}

TEST_F(MountedVolumeTest, SparseRunsHaveNoLcn) {
    {
        std::ofstream out(inMount("sparse.bin"), std::ios::binary);
        out << std::string(4096, 'a');
        out.seekp(1 << 20);
        out << std::string(4096, 'b');
    }
    std::filesystem::resize_file(inMount("sparse.bin"), 2 << 20);
    mount_->unmount();

    auto volume = image_->open();
    ASSERT_TRUE(volume);
    auto runs = volume.value().fileExtents(L"\\sparse.bin");
    ASSERT_TRUE(runs) << runs.error().message;
    EXPECT_EQ(runs.value(), image_->toolRuns("/sparse.bin"));
    EXPECT_TRUE(std::any_of(runs.value().begin(), runs.value().end(),
                            [](const ntfs::Extent& e) { return e.lcn == ntfs::kSparseLcn; }));
}

// Three files written a cluster at a time in turn: each gets hundreds of one-cluster runs,
// more than one file record holds.
TEST_F(MountedVolumeTest, RunsSpreadOverExtensionRecords) {
    std::vector<int> files;
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
        files.push_back(::open(inMount(name).c_str(), O_WRONLY | O_CREAT, 0644));
        ASSERT_GE(files.back(), 0);
    }
    std::string cluster(4096, 'x');
    for (int i = 0; i < 600; ++i) {
        for (int fd : files) {
            ASSERT_EQ(::write(fd, cluster.data(), cluster.size()), 4096);
        }
    }
    for (int fd : files) {
        ::close(fd);
    }
    mount_->unmount();
    ASSERT_NE(test::runCommand("ntfsinfo -v -f '" + image_->file().string() + "' -F /a.bin",
                               test::ErrorOutput::discarded)
                  .find("$ATTRIBUTE_LIST"),
              std::string::npos)
        << "ntfs-3g kept all runs in the base record";

    auto volume = image_->open();
    ASSERT_TRUE(volume);
    for (const char* name : {"a.bin", "b.bin"}) {
        auto runs = volume.value().fileExtents(L"\\" + std::wstring(name, name + 5));
        ASSERT_TRUE(runs) << runs.error().message;
        EXPECT_EQ(runs.value(), image_->toolRuns(std::string("/") + name));
    }
}

}  // namespace
}  // namespace ntfstest
