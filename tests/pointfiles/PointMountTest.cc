// A restore point mounted read-only through FUSE by the mount command, in a child process,
// read like any folder and unmounted when the command is terminated.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "PointVolumeFixture.h"
#include "backup-server/commands/Command.h"

namespace pointtest {
namespace {

bool isMountPoint(const fs::path& folder) {
    struct stat here {
    }, parent{};
    return ::stat(folder.c_str(), &here) == 0 &&
           ::stat(folder.parent_path().c_str(), &parent) == 0 && here.st_dev != parent.st_dev;
}

class PointMountTest : public PointVolumeTest {};

TEST_F(PointMountTest, APointMountsReadOnlyAndUnmountsWhenTheCommandEnds) {
    test::TempDir folder;
    fs::path mount = folder.path() / "point";
    fs::create_directories(mount);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CommandContext context;
        context.out = &std::cout;
        context.arguments = {store().string(), kDevice, "point=" + std::to_string(point_.id),
                             mount.string()};
        int status = kExitFailed;
        try {
            status = mountCommand(context);
        } catch (...) {
        }
        std::cout.flush();
        ::_exit(status);
    }
    for (int tries = 0; tries < 200 && !isMountPoint(mount); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(isMountPoint(mount));

    EXPECT_TRUE(readFile(mount / "comp" / "text.txt") == ntfscat(image(), "/comp/text.txt"));
    EXPECT_TRUE(readFile(mount / "sparse.bin") == ntfscat(image(), "/sparse.bin"));
    EXPECT_EQ(readFile(mount / "Grüße" / "日本語 ファイル.txt"), "こんにちは\n");
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(mount / "many"))
        ++entries;
    EXPECT_EQ(entries, 150);
    struct stat small {};
    ASSERT_EQ(::stat((mount / "small.txt").c_str(), &small), 0);
    EXPECT_EQ(small.st_mtim.tv_sec, 1577934245);
    EXPECT_EQ(small.st_mode & 0222, 0u);
    // Links name nothing here; nothing can be written.
    EXPECT_TRUE(fs::is_symlink(mount / "junc"));
    EXPECT_EQ(fs::read_symlink(mount / "junc"), "C:\\Users");
    EXPECT_FALSE(fs::exists(mount / "junc"));
    EXPECT_LT(::open((mount / "enc.txt").c_str(), O_RDONLY), 0);
    EXPECT_LT(::open((mount / "new.txt").c_str(), O_WRONLY | O_CREAT, 0644), 0);

    ::kill(child, SIGTERM);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(isMountPoint(mount));
}

}  // namespace
}  // namespace pointtest
