// File restore on the real agent: files and directories land below the restore root with
// their contents, times and attribute bits; every kind of failed item is reported and its
// data skipped so that the next item restores; hostile paths never leave the root.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <ostream>

#include "AgentProcess.h"
#include "backup-server/session/FileRestore.h"
#include "backup-server/session/ServerKeys.h"
#include "common/ChildProcess.h"
#include "common/TempDir.h"

namespace {

namespace fs = std::filesystem;
using backup_server::FileItem;
using backup_server::FileRestoreHeader;
using backup_server::FileRestoreSession;
using backup_server::FileSource;

constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
// 2021-03-04 05:06:07.1234567 UTC and a few later moments, as file times.
constexpr std::uint64_t kTime1 = 132593943671234567ull;
constexpr std::uint64_t kTime2 = kTime1 + 86400ull * 10000000 + 1;
constexpr std::uint64_t kTime3 = kTime1 + 2 * 86400ull * 10000000 + 2;

class FileRestoreTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::prepareServerSide();
        test::AgentSettings settings;
        // D: is a drive for files only; no volume lies behind it.
        settings.hostConfig =
            "[letters]\nD = \\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\\n";
        agent = new test::AgentProcess(settings);
        agent->allowServer(test::serverKeys("files"));
        agent->start();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(agent->stop(), 0);
        delete agent;
    }

    void SetUp() override {
        session = agent->openSession(test::serverKeys("files"));
        root = "restore-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override {
        if (session)
            session->finish();
    }

    fs::path onHost(const std::string& path) const {
        return agent->hostRoot() / "drives" / "D" / root / path;
    }
    FileRestoreHeader header() const { return {false, "D:\\" + root, ""}; }

    static inline test::AgentProcess* agent = nullptr;
    std::unique_ptr<backup_server::AgentSession> session;
    std::string root;
};

FileSource fileSource(const std::string& path, const std::string& data,
                      std::uint64_t modifyTime = kTime1) {
    FileSource source;
    source.item.path = path;
    source.item.fileSize = data.size();
    source.item.createTime = kTime3;
    source.item.accessTime = kTime2;
    source.item.modifyTime = modifyTime;
    source.item.attrFlags = 0x20;
    source.data = data;
    return source;
}

FileSource directorySource(const std::string& path, std::uint64_t modifyTime) {
    FileSource source = fileSource(path, "", modifyTime);
    source.item.isDirectory = true;
    source.item.attrFlags = 0x10;
    return source;
}

std::uint64_t fileTime(const timespec& time) {
    return kUnixEpochAsFileTime + static_cast<std::uint64_t>(time.tv_sec) * 10000000ull +
           static_cast<std::uint64_t>(time.tv_nsec) / 100;
}

struct HostTimes {
    std::uint64_t create = 0;
    std::uint64_t access = 0;
    std::uint64_t modify = 0;
    std::uint32_t attributes = 0xFFFFFFFF;
    bool operator==(const HostTimes&) const = default;
};

std::ostream& operator<<(std::ostream& out, const HostTimes& times) {
    return out << "{create " << times.create << ", access " << times.access << ", modify "
               << times.modify << ", attributes 0x" << std::hex << times.attributes << std::dec
               << "}";
}

// Times as Linux keeps them, the creation time and attribute bits from the extended
// attributes the emulated host keeps them in.
HostTimes hostTimes(const fs::path& path) {
    HostTimes times;
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    times.access = fileTime(status.st_atim);
    times.modify = fileTime(status.st_mtim);
    unsigned char bytes[8] = {};
    if (::getxattr(path.c_str(), "user.zentrad.creation-time", bytes, 8) == 8) {
        for (int i = 7; i >= 0; --i)
            times.create = (times.create << 8) | bytes[i];
    }
    if (::getxattr(path.c_str(), "user.zentrad.attributes", bytes, 4) == 4)
        times.attributes = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (bytes[3] << 24);
    return times;
}

TEST_F(FileRestoreTest, TreesLandWithContentsTimesAndAttributes) {
    std::string big(100000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 251);
    FileSource hidden = fileSource(
        "docs\\sub\\gr\xC3\xBC\xC3\x9F"
        "e.txt",
        "hello");
    hidden.item.attrFlags = 0x23;  // read-only, hidden, archive
    FileSource hiddenDirectory = directorySource("docs/sub", kTime3);
    hiddenDirectory.item.attrFlags = 0x12;  // the directory bit is not one to set
    std::vector<FileSource> sources = {
        directorySource("docs", kTime2),
        hiddenDirectory,
        fileSource("docs\\sixteen.bin", "0123456789abcdef"),
        fileSource("empty.bin", ""),
        fileSource("docs/big.bin", big),
        hidden,
    };
    backup_server::FileRestoreOptions options;
    options.chunkBytes = 10;  // 16 bytes arrive as 10 + 6
    options.keepAlivesBeforeData = 2;
    auto report = backup_server::restoreFiles(*session, header(), sources, options);
    EXPECT_EQ(report.restored, sources.size());
    EXPECT_EQ(report.failed, 0u) << report.failures.front();
    EXPECT_TRUE(report.agentSummaryMatches) << report.agentSummary.value_or("none");

    EXPECT_EQ(hostTimes(onHost("docs/sixteen.bin")), (HostTimes{kTime3, kTime2, kTime1, 0x20}));
    EXPECT_EQ(hostTimes(onHost("docs/sub/gr\xC3\xBC\xC3\x9F"
                               "e.txt"))
                  .attributes,
              0x23u);
    EXPECT_EQ(hostTimes(onHost("docs")).modify, kTime2);
    EXPECT_EQ(hostTimes(onHost("docs/sub")).modify, kTime3);
    EXPECT_EQ(hostTimes(onHost("docs/sub")).attributes, 0x2u);
    // Contents last: reading them moves the access times.
    EXPECT_EQ(test::readWholeFile(onHost("docs/sixteen.bin")), "0123456789abcdef");
    EXPECT_TRUE(fs::is_regular_file(onHost("empty.bin")));
    EXPECT_EQ(fs::file_size(onHost("empty.bin")), 0u);
    EXPECT_EQ(test::readWholeFile(onHost("docs/big.bin")), big);
    EXPECT_EQ(test::readWholeFile(onHost("docs/sub/gr\xC3\xBC\xC3\x9F"
                                         "e.txt")),
              "hello");

    // Directory times are applied after their contents.
    report =
        backup_server::restoreFiles(*session, header(),
                                    {directorySource("a", kTime2), directorySource("a\\b", kTime3),
                                     fileSource("a\\b\\f.txt", "x"), fileSource("a\\g.txt", "y")});
    EXPECT_EQ(report.restored, 4u);
    EXPECT_EQ(hostTimes(onHost("a")).modify, kTime2);
    EXPECT_EQ(hostTimes(onHost("a/b")).modify, kTime3);
    EXPECT_EQ(hostTimes(onHost("a/b")).create, kTime3);
    EXPECT_EQ(hostTimes(onHost("a/g.txt")).modify, kTime1);

    // Times from other file systems are Unix seconds.
    FileSource source = fileSource("unix.txt", "data");
    source.item.srcfs = "ext3";
    source.item.modifyTime = 0;
    source.item.accessTime = 1000000000;
    source.item.createTime = 1;
    report = backup_server::restoreFiles(*session, header(), {source});
    ASSERT_EQ(report.restored, 1u);
    // Without NTFS flags there are no attribute bits to restore.
    EXPECT_EQ(
        hostTimes(onHost("unix.txt")),
        (HostTimes{kUnixEpochAsFileTime + 10000000, kUnixEpochAsFileTime + 1000000000ull * 10000000,
                   kUnixEpochAsFileTime, 0xFFFFFFFF}));
}

// Drives one item by hand and returns the agent's answer, after which the item is ended.
class ItemDriver {
  public:
    ItemDriver(FileRestoreSession& restore, std::uint64_t counter)
        : restore_(restore), counter_(counter) {}
    backup_server::FileResult finish() {
        restore_.sendCode(net::PROT_FILE_DATA_END);
        backup_server::FileResult result = restore_.readResult();
        EXPECT_EQ(result.counter, counter_);
        restore_.sendCode(net::PROT_FILE_ITEM_END);
        return result;
    }

  private:
    FileRestoreSession& restore_;
    std::uint64_t counter_;
};

TEST_F(FileRestoreTest, EveryFailedItemIsReportedAndTheNextOneRestores) {
    struct Case {
        const char* name;
        std::function<void(FileRestoreSession&, std::uint64_t)> send;
        std::string reason;
    };
    auto sixteen = [](const std::string& path) {
        return backup_server::itemRecord(fileSource(path, "0123456789abcdef").item);
    };
    std::vector<Case> cases = {
        {"keep-alive between chunks",
         [&](FileRestoreSession& r, std::uint64_t n) {
             r.sendItem(sixteen("ka.bin"), n);
             r.sendChunk(n, "0123456789");
             r.sendCode(net::PROT_KEEPALIVE);
             r.sendChunk(n, "abcdef");
         },
         "Could not restore file (ka.bin): Protocol error.  Expected PROT_FILE_DATA_CHUNK but "
         "received 0xe1e7e5f9"},
        {"wrong counter",
         [&](FileRestoreSession& r, std::uint64_t n) {
             r.sendItem(sixteen("counter.bin"), n);
             r.sendChunk(n + 100, "0123456789abcdef");
         },
         "Expected chunkFileCounter("},
        {"oversize chunk",
         [&](FileRestoreSession& r, std::uint64_t n) {
             r.sendItem(sixteen("big.bin"), n);
             r.sendChunk(n, std::string(20, 'z'));
         },
         "Could not restore file (big.bin): Protocol error reading file data.  Expected Expected "
         "bytesLeft(16) >= chunkSize(20)"},
        {"data ends early",
         [&](FileRestoreSession& r, std::uint64_t n) {
             r.sendItem(sixteen("short.bin"), n);
             r.sendChunk(n, "0123");
         },
         "Expected PROT_FILE_DATA_CHUNK but received 0xe1e7edf4"},
        {"directory with size 5",
         [&](FileRestoreSession& r, std::uint64_t n) {
             FileItem item = directorySource("dir5", kTime1).item;
             item.fileSize = 5;
             r.sendItem(backup_server::itemRecord(item), n);
             r.sendChunk(n, "12345");
         },
         "Could not restore file (dir5): Error occurred and did not write entire file (dir5)"},
        {"directory at the target",
         [&](FileRestoreSession& r, std::uint64_t n) {
             r.sendItem(sixteen("dir5"), n);
             r.sendChunk(n, "0123456789abcdef");
         },
         "Could not restore file (dir5): A directory of the same name already exists."},
        {"attribute missing",
         [&](FileRestoreSession& r, std::uint64_t n) {
             util::KeyValueMap record = sixteen("noflags.bin");
             record.set("attrFlags", nullptr);
             r.sendItem(record, n);
             r.sendChunk(n, "0123456789abcdef");
         },
         "Could not restore file (noflags.bin): Unable to read attribute 'attrFlags' from "
         "NtfsFileAttributes"},
        {"record that does not parse",
         [&](FileRestoreSession& r, std::uint64_t n) {
             r.sendItemRecordBytes(std::string("\0\0\0\2\0\0\0\1k\0\0\0\x0B\1", 14), n);
         },
         "Could not restore file (): Unable to read attribute 'fileSize'"},
    };
    FileRestoreSession restore(*session);
    restore.begin(header());
    std::uint64_t counter = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.send(restore, counter);
        backup_server::FileResult failed = ItemDriver(restore, counter++).finish();
        EXPECT_FALSE(failed.restored);
        EXPECT_NE(failed.reason.find(c.reason), std::string::npos) << failed.reason;
        // The exchange is still in step: a good file follows and restores.
        std::string good = "good" + std::to_string(counter) + ".txt";
        restore.sendItem(backup_server::itemRecord(fileSource(good, "fine").item), counter);
        restore.sendChunk(counter, "fine");
        EXPECT_TRUE(ItemDriver(restore, counter++).finish().restored);
        EXPECT_EQ(test::readWholeFile(onHost(good)), "fine");
    }
    restore.finish();
    EXPECT_TRUE(fs::is_directory(onHost("dir5")));
    // A file whose data failed is not left behind half written.
    EXPECT_FALSE(fs::exists(onHost("ka.bin")));
    EXPECT_FALSE(fs::exists(onHost("short.bin")));
}

// Hostile paths fail as items, sixty of them in a row (past any cap on the failure count),
// each with data in several chunks to skip; the good files after them stay in step.
TEST_F(FileRestoreTest, PathsThatLeaveTheRestoreRootFailAndLaterFilesStayInStep) {
    const std::vector<std::string> hostile = {
        "..\\escape.txt",
        "sub\\..\\..\\escape.txt",
        "\\escape.txt",
        "/escape.txt",
        "C:\\escape.txt",
        "D:escape.txt",
        "file.txt:stream",
        "bad\x01name.txt",
        "\\\\host\\share\\x",
        "\xC0\xAF..\xC0\xAF"
        "escape.txt",              // overlong UTF-8 for "/"
        "inside\\..\\escape.txt",  // even a ".." that would stay inside
    };
    std::vector<FileSource> sources;
    for (std::size_t i = 0; i < 60; ++i)
        sources.push_back(fileSource(hostile[i % hostile.size()], std::string(3000, 'x')));
    for (int i = 0; i < 5; ++i)
        sources.push_back(fileSource("after" + std::to_string(i) + ".txt", "after"));
    backup_server::FileRestoreOptions options;
    options.chunkBytes = 1000;
    auto report = backup_server::restoreFiles(*session, header(), sources, options);
    EXPECT_EQ(report.failed, 60u);
    EXPECT_EQ(report.restored, 5u);
    EXPECT_EQ(report.agentSummary, "File restore finished: 5 restored, 60 failed");
    for (const auto& failure : report.failures) {
        EXPECT_TRUE(
            failure.find("Refusing to restore outside the restore root") != std::string::npos ||
            failure.find("Failed to convert file name to wide characters") != std::string::npos)
            << failure;
    }
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(test::readWholeFile(onHost("after" + std::to_string(i) + ".txt")), "after");
    EXPECT_FALSE(fs::exists(agent->hostRoot() / "drives" / "D" / "escape.txt"));
    EXPECT_FALSE(fs::exists(agent->hostRoot() / "drives" / "escape.txt"));
    EXPECT_FALSE(fs::exists(agent->hostRoot() / "drives" / "C"));
}

// The tool end to end: a local folder goes onto the drive of a volume named by device ID.
TEST_F(FileRestoreTest, CommandLineRestoresAFolderOntoAVolumesDrive) {
    agent->sim("add-disk --size 16M --part 'size=8M,type=7'");
    agent->sim("mkfs 0:0");
    agent->sim("letter F 0:0");
    test::TempDir local;
    fs::create_directories(local.path() / "tree" / "nested");
    std::ofstream(local.path() / "tree" / "top.txt") << "top level";
    std::ofstream(local.path() / "tree" / "nested" / "inner.bin") << std::string(5000, 'q');
    auto keys = backup_server::ServerKeys::create(local.path() / "keys");
    agent->allowServer(keys, "cli");
    test::ToolRun run =
        test::runBackupServer(local.path() / "keys", agent->port(),
                              "restore-files 'device=Disk 0 Partition 0' chunk=1000 '" +
                                  (local.path() / "tree").string() + "'",
                              local.path());
    EXPECT_EQ(run.status, 0) << run.output;
    const std::string& output = run.output;
    EXPECT_NE(output.find("restored 3 items (5009 bytes), 0 failed"), std::string::npos) << output;
    EXPECT_NE(output.find("File restore finished: 3 restored, 0 failed (agrees)"),
              std::string::npos)
        << output;
    fs::path drive = agent->hostRoot() / "drives" / "F";
    EXPECT_EQ(test::readWholeFile(drive / "top.txt"), "top level");
    EXPECT_TRUE(test::readWholeFile(drive / "nested" / "inner.bin") == std::string(5000, 'q'));
}

}  // namespace
