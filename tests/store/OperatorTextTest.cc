// What backup-server prints for people: agent texts without source locations, socket
// errors in this system's words, sizes with units; and the jobs file's checks.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JobsFile.h"
#include "backup-server/commands/OperatorText.h"
#include "backup-server/store/StoreLocation.h"
#include "common/TempDir.h"
#include "net/SocketException.h"

namespace {

using backup_server::withoutSourceLocations;

TEST(OperatorText, SourceLocationsAreRemovedAndOtherParenthesesKept) {
    EXPECT_EQ(withoutSourceLocations(
                  "Closing connection: Unable to find mounted logical disk: Disk 0 Partition 9 "
                  "(static std::shared_ptr<blocks::DiskVolume> "
                  "blocks::DiskVolume::getDiskVolumesWithID(const std::string&):94)"),
              "Closing connection: Unable to find mounted logical disk: Disk 0 Partition 9");
    // Nested ones, one with an unknown line, and a path in parentheses that stays.
    EXPECT_EQ(withoutSourceLocations("Failed to open file (C:\\keys\\rsa.key) (void load():7): "
                                     "inner (std::function<void(int)> f(int):-)"),
              "Failed to open file (C:\\keys\\rsa.key): inner");
    for (const char* kept : {"no location", "time (12:30)", "port (127.0.0.1:1167)", "(f():12)"})
        EXPECT_EQ(withoutSourceLocations(kept), kept);
}

TEST(OperatorText, SocketErrorsAreInThisSystemsWords) {
    std::string refused =
        net::SocketException::describe("Failed to connect to remote host (h:1)", 10061);
    EXPECT_EQ(backup_server::inLocalWords(refused),
              "Failed to connect to remote host (h:1): Connection refused");
    EXPECT_EQ(backup_server::socketReason(refused), "Connection refused");
    EXPECT_EQ(backup_server::socketReason(net::SocketException::describe("x", 10065)),
              "No route to host");
    EXPECT_EQ(backup_server::inLocalWords("Unable to resolve host name (nosuch)"),
              "Unable to resolve host name (nosuch)");
}

TEST(OperatorText, SizesCarryBinaryUnits) {
    EXPECT_EQ(backup_server::humanBytes(0), "0 bytes");
    EXPECT_EQ(backup_server::humanBytes(1), "1 byte");
    EXPECT_EQ(backup_server::humanBytes(1536), "1.5 KiB");
    EXPECT_EQ(backup_server::humanBytes(5ull << 30), "5.0 GiB");
}

// A jobs file's mistakes are named with the file, the line and the key.
TEST(JobsFile, ReadsAgentsAndRefusesWhatIsWrongWithItsLine) {
    test::TempDir dir;
    auto read = [&](const std::string& text) {
        std::ofstream(dir.path() / "jobs.toml") << text;
        return backup_server::readJobsFile(dir.path() / "jobs.toml");
    };
    const std::string agent =
        "[[agent]]\nname = \"fs1\"\nhost = \"h\"\nvolumes = [\"Disk 0 Partition 1\"]\n";
    auto jobs = read("store = \"s\"\nretry-delay = \"90s\"\n[retention]\nlast = 3\n" + agent +
                     "[agent.volume-retention.\"Disk 0 Partition 1\"]\ndaily = 7\n"
                     "[[agent]]\nname = \"fs2\"\nhost = \"h2\"\nport = 1200\nvolumes = \"ntfs\"\n"
                     "store = \"/abs\"\n[agent.retention]\nwithin = \"2w\"\n");
    ASSERT_EQ(jobs.agents.size(), 2u);
    EXPECT_EQ(jobs.agents[0].store, (dir.path() / "s").lexically_normal());
    EXPECT_EQ(jobs.retryDelaySeconds, 90);
    EXPECT_EQ(jobs.agents[0].volumes.at(0).retention.keepDaily, 7u);
    EXPECT_EQ(jobs.agents[0].volumes.at(0).retention.keepLast, 0u);  // its own rules replace
    EXPECT_EQ(jobs.agents[1].port, 1200);
    EXPECT_TRUE(jobs.agents[1].everyNtfsVolume);
    EXPECT_EQ(jobs.agents[1].store, "/abs");
    EXPECT_EQ(jobs.agents[1].retention.keepWithin, 14 * 86400);
    struct Case {
        std::string text;
        std::string says;
    } cases[] = {
        {"store = \n", "jobs.toml:1: "},
        {"store = \"s\"\nbogus = 1\n" + agent, "jobs.toml:2: unknown key in the jobs file: bogus"},
        {"store = \"s\"\n", "no [[agent]]"},
        {agent, "agent fs1 has no store"},
        {"store = \"s\"\n" + agent + "level = 99\n",
         "jobs.toml:6: level must be a whole number from 0 to 9"},
        {"store = \"s\"\n" + agent + "compression = 2\n",
         "compression must be a whole number from 0 to 1"},
        {"store = \"s\"\n" + agent + agent, "agent name used twice: fs1"},
        {"store = \"s\"\n[retention]\nforever = 1\n" + agent,
         "jobs.toml:3: unknown retention rule"},
        {"store = \"s\"\n" + agent + "[agent.volume-retention.\"Disk 9\"]\nlast = 1\n",
         "names a volume the agent's volumes do not list: Disk 9"},
        {"store = \"s\"\nretry-delay = \"soon\"\n" + agent, "jobs.toml:2: retry-delay"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            read(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const backup_server::UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
        }
    }
}

// An s3:// store in a jobs file is reached as its [s3] table says, with the credentials read
// from their file; the secret is in no message.
TEST(JobsFile, AnObjectStoreIsReachedAsItsS3TableSays) {
    test::TempDir dir;
    std::ofstream(dir.path() / "s3.credentials")
        << "[default]\naws_access_key_id = AKID\naws_secret_access_key = very-secret\n";
    std::ofstream(dir.path() / "jobs.toml")
        << "store = \"s3://bucket/site\"\n[s3]\nendpoint = \"http://127.0.0.1:9\"\n"
           "region = \"eu-west-1\"\ncredentials-file = \"s3.credentials\"\n"
           "[[agent]]\nname = \"fs1\"\nhost = \"h\"\nvolumes = [\"Disk 0 Partition 1\"]\n";
    auto jobs = backup_server::readJobsFile(dir.path() / "jobs.toml");
    EXPECT_EQ(jobs.agents.at(0).store, "s3://bucket/site");
    backup_server::applyObjectStoreSettings(jobs);
    auto settings = backup_server::objectStoreSettings("s3://bucket/site");
    ::unsetenv("AWS_ENDPOINT_URL");
    ::unsetenv("AWS_REGION");
    ::unsetenv(backup_server::kCredentialsFileVariable);
    EXPECT_EQ(settings.endpoint, "http://127.0.0.1:9");
    EXPECT_EQ(settings.region, "eu-west-1");
    EXPECT_EQ(settings.accessKey, "AKID");
    EXPECT_EQ(settings.secretKey, "very-secret");

    std::ofstream(dir.path() / "s3.credentials") << "aws_access_key_id = AKID\n";
    std::ofstream(dir.path() / "jobs.toml")
        << "store = \"s3://bucket/site\"\n[s3]\ncredentials-file = \"s3.credentials\"\n"
           "[[agent]]\nname = \"fs1\"\nhost = \"h\"\nvolumes = [\"Disk 0 Partition 1\"]\n";
    backup_server::applyObjectStoreSettings(backup_server::readJobsFile(dir.path() / "jobs.toml"));
    try {
        backup_server::objectStoreSettings("s3://bucket/site");
        ADD_FAILURE() << "credentials without a secret were taken";
    } catch (const runtime::AgentException& error) {
        EXPECT_NE(error.message().find("aws_secret_access_key"), std::string::npos)
            << error.message();
    }
    ::unsetenv(backup_server::kCredentialsFileVariable);
    std::ofstream(dir.path() / "jobs.toml") << "store = \"s\"\n[s3]\nsecret = \"x\"\n";
    try {
        backup_server::readJobsFile(dir.path() / "jobs.toml");
        ADD_FAILURE() << "a secret in the jobs file was taken";
    } catch (const backup_server::UsageError& error) {
        EXPECT_NE(std::string(error.what()).find("unknown key in [s3]: secret"), std::string::npos)
            << error.what();
    }
}

}  // namespace
