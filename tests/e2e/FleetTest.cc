// backup-server as scripts and monitoring use it: a jobs file run over three agents (one
// healthy, one busy, one down), status over what the run recorded, every documented exit
// status from one table, and every command's --json checked against the schema committed
// in tests/e2e/schemas.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <set>

#include "AgentHost.h"
#include "backup-server/commands/Command.h"
#include "backup-server/session/ServerKeys.h"
#include "backup-server/store/Store.h"
#include "backup-server/store/StoreLock.h"
#include "backup-server/store/VolumeStore.h"
#include "common/TempDir.h"
#include "common/TestBytes.h"

namespace {

namespace fs = std::filesystem;
using test::AgentHost;

struct ToolResult {
    int status = -1;
    std::string out;     // standard output alone
    std::string errors;  // standard error
};

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

class FleetTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::prepareServerSide(30);
        work_ = new test::TempDir();
        backup_server::ServerKeys keys = backup_server::ServerKeys::create(keysDir());
        for (const char* store : {"store", "json-store", "tables"})
            backup_server::createStore(work_->path() / store);
        healthy_ = new AgentHost();
        busy_ = new AgentHost();
        healthy_->agent().allowServer(keys, "fleet");
        busy_->agent().allowServer(keys, "fleet");
    }
    static void TearDownTestSuite() {
        delete busy_;
        delete healthy_;
        delete work_;
    }

    static fs::path keysDir() { return work_->path() / "keys"; }
    static std::string store() { return quoted((work_->path() / "store").string()); }

    // Runs the tool with standard output and standard error apart; environment holds
    // VARIABLE=VALUE words for the tool's environment.
    static ToolResult tool(const std::string& arguments, std::uint16_t port = 0,
                           const std::string& environment = "") {
        fs::path out = work_->path() / "tool.out";
        fs::path errors = work_->path() / "tool.err";
        std::string command =
            environment + " " + ZENTRAD_BINARY_DIR + "/tools/backup-server/backup-server --keys " +
            quoted(keysDir().string()) + " --port " +
            std::to_string(port == 0 ? healthy_->agent().port() : port) + " " + arguments + " > " +
            quoted(out.string()) + " 2> " + quoted(errors.string());
        int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::readWholeFile(out),
                test::readWholeFile(errors)};
    }

    // The document validates against tests/e2e/schemas/NAME.schema.json.
    static ::testing::AssertionResult matchesSchema(const std::string& document,
                                                    const std::string& name) {
        fs::path file = work_->path() / (name + ".json");
        std::ofstream(file) << document;
        fs::path schema =
            fs::path(ZENTRAD_SOURCE_DIR) / "tests/e2e/schemas" / (name + ".schema.json");
        fs::path report = work_->path() / "schema.out";
        std::string command =
            "python3 -c 'import json, sys, jsonschema; "
            "jsonschema.validate(json.load(open(sys.argv[1])), "
            "json.load(open(sys.argv[2])))' " +
            quoted(file.string()) + " " + quoted(schema.string()) + " > " +
            quoted(report.string()) + " 2>&1";
        if (std::system(command.c_str()) == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << name << ": " << document << "\n"
                                             << test::readWholeFile(report);
    }

    static test::TempDir* work_;
    static AgentHost* healthy_;
    static AgentHost* busy_;
};

test::TempDir* FleetTest::work_ = nullptr;
AgentHost* FleetTest::healthy_ = nullptr;
AgentHost* FleetTest::busy_ = nullptr;

// The healthy agent is backed up and pruned, the busy one tried again until the retries
// run out, the one that is down reported; the run fails, and status shows all three.
TEST_F(FleetTest, AJobsRunBacksUpWhatItCanAndStatusReportsEveryAgent) {
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(tool("backup 'Disk 0 Partition 0' " + store() + " agent=healthy").status, 0);
    std::uint16_t downPort = test::freePort();
    fs::path jobs = work_->path() / "jobs.toml";
    std::ofstream(jobs) << "store = \"store\"\nmax-agents = 3\nretries = 2\nretry-delay = \"1s\"\n"
                        << "[retention]\nlast = 2\n"
                        << "[[agent]]\nname = \"healthy\"\nhost = \"127.0.0.1\"\nport = "
                        << healthy_->agent().port() << "\nvolumes = \"ntfs\"\nlevel = 1\n"
                        << "[[agent]]\nname = \"busy\"\nhost = \"127.0.0.1\"\nport = "
                        << busy_->agent().port() << "\nvolumes = [\"Disk 0 Partition 0\"]\n"
                        << "[[agent]]\nname = \"down\"\nhost = \"127.0.0.1\"\nport = " << downPort
                        << "\nvolumes = [\"Disk 0 Partition 0\"]\n";
    ToolResult run;
    {
        auto stalled = busy_->stalledBackup();
        run = tool("--json run " + quoted(jobs.string()));
    }
    EXPECT_EQ(run.status, 1) << run.out << run.errors;
    EXPECT_TRUE(matchesSchema(run.out, "run"));
    EXPECT_NE(run.out.find("{\"agent\":\"healthy\",\"device\":\"Disk 0 Partition 0\",\"ok\":true,"
                           "\"attempts\":1,\"point\":3,\"forgotten\":1"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("{\"agent\":\"busy\",\"device\":\"Disk 0 Partition 0\",\"ok\":false,"
                           "\"attempts\":3,\"point\":0,\"forgotten\":0,\"reason\":\"the agent "
                           "stayed busy with another backup\",\"started\":"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("{\"agent\":\"down\",\"device\":\"Disk 0 Partition 0\",\"ok\":false,"
                           "\"attempts\":3,\"point\":0,\"forgotten\":0,\"reason\":\"cannot connect "
                           "to the agent at host 127.0.0.1, port " +
                           std::to_string(downPort) + ": Connection refused"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.errors.find("busy Disk 0 Partition 0: the agent is busy with another backup; "
                              "retry 2 of 2 in 2 s"),
              std::string::npos)
        << run.errors;
    ToolResult points = tool("--json points " + store());
    EXPECT_NE(points.out.find("{\"id\":2,"), std::string::npos) << points.out;
    EXPECT_NE(points.out.find("{\"id\":3,"), std::string::npos) << points.out;
    EXPECT_EQ(points.out.find("{\"id\":1,"), std::string::npos) << points.out;

    ToolResult status = tool("status " + quoted(jobs.string()) + " --warn-age=1h --crit-age=1d");
    EXPECT_EQ(status.status, 2) << status.out << status.errors;
    EXPECT_NE(status.out.find("ok  healthy  Disk 0 Partition 0: last good point 3 of "),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("critical  busy  Disk 0 Partition 0: no good point; last failure"),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("critical  down  Disk 0 Partition 0: no good point; last failure"),
              std::string::npos)
        << status.out;
    ToolResult json = tool("--json status " + quoted(jobs.string()));
    EXPECT_EQ(json.status, 2);
    EXPECT_TRUE(matchesSchema(json.out, "status-store"));
    // The healthy agent alone: an age beyond --warn-age is a warning.
    std::ofstream(work_->path() / "healthy.toml")
        << "store = \"store\"\n[[agent]]\nname = \"healthy\"\nhost = \"127.0.0.1\"\n"
        << "volumes = [\"Disk 0 Partition 0\"]\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(tool("status " + quoted((work_->path() / "healthy.toml").string())).status, 0);
    EXPECT_EQ(tool("status " + quoted((work_->path() / "healthy.toml").string()) + " --warn-age=1s")
                  .status,
              1);
}

// The seconds-since-1970 number after "KEY": in the job of agent in a run's --json result.
double jobTime(const std::string& run, const std::string& agent, const std::string& key) {
    std::size_t job = run.find("{\"agent\":\"" + agent + "\"");
    std::size_t at = run.find("\"" + key + "\":", job);
    return job == std::string::npos || at == std::string::npos
               ? -1
               : std::atof(run.c_str() + at + key.size() + 3);
}

// Two agents sharing one store are backed up side by side, each point holding exactly its
// own volume; gc, which removes files, is kept out while a backup holds the store.
TEST_F(FleetTest, AgentsSharingAStoreAreBackedUpSideBySide) {
    // Volumes large enough that each backup lasts well beyond the start of the other.
    test::HostLayout large{96, 40 * 1024, false};
    AgentHost first({}, large);
    AgentHost second({}, large);
    backup_server::ServerKeys keys = backup_server::ServerKeys::load(keysDir());
    first.agent().allowServer(keys, "fleet");
    second.agent().allowServer(keys, "fleet");
    const fs::path root = work_->path() / "shared-store";
    backup_server::createStore(root);
    fs::path jobs = work_->path() / "shared.toml";
    std::ofstream(jobs) << "store = \"shared-store\"\nmax-agents = 2\nretries = 0\n"
                        << "[[agent]]\nname = \"first\"\nhost = \"127.0.0.1\"\nport = "
                        << first.agent().port()
                        << "\nvolumes = [\"Disk 0 Partition 0\"]\nlevel = 1\n"
                        << "[[agent]]\nname = \"second\"\nhost = \"127.0.0.1\"\nport = "
                        << second.agent().port()
                        << "\nvolumes = [\"Disk 0 Partition 0\"]\nlevel = 1\n";
    ToolResult run = tool("--json run " + quoted(jobs.string()));
    ASSERT_EQ(run.status, 0) << run.out << run.errors;
    EXPECT_TRUE(matchesSchema(run.out, "run"));
    for (const char* agent : {"first", "second"}) {
        EXPECT_NE(run.out.find(std::string("{\"agent\":\"") + agent +
                               "\",\"device\":\"Disk 0 Partition 0\",\"ok\":true,\"attempts\":1"),
                  std::string::npos)
            << run.out;
    }
    // Each began before the other ended.
    EXPECT_LT(jobTime(run.out, "first", "started"), jobTime(run.out, "second", "finished"))
        << run.out;
    EXPECT_LT(jobTime(run.out, "second", "started"), jobTime(run.out, "first", "finished"))
        << run.out;
    for (auto [host, agent] : {std::pair{&first, "first"}, std::pair{&second, "second"}}) {
        backup_server::VolumeStore volume(root, AgentHost::kDeviceID, agent);
        ASSERT_TRUE(volume.hasImage()) << agent;
        blocks::BlockMap used = volume.usedMap();
        std::uint64_t usedBlocks = 0;
        for (std::uint64_t i = 0; i < used.capacity(); ++i)
            usedBlocks += used.bit(i) ? 1 : 0;
        EXPECT_GT(usedBlocks, host->randomFileClusters()) << agent;
        EXPECT_EQ(host->storeMismatches(used, root, agent), std::vector<std::uint64_t>{}) << agent;
    }
    {
        backup_server::Store backup(root, backup_server::Store::Access::write, "backup X");
        ToolResult gc = tool("gc " + quoted(root.string()));
        EXPECT_EQ(gc.status, 5) << gc.out << gc.errors;
        EXPECT_NE(gc.errors.find("in use by other commands"), std::string::npos) << gc.errors;
    }
    {
        // Monitoring still sees a store that gc holds.
        backup_server::Store gc(root, backup_server::Store::Access::exclusive, "gc");
        ToolResult status = tool("status " + quoted(jobs.string()));
        EXPECT_EQ(status.status, 0) << status.out << status.errors;
    }
    EXPECT_EQ(tool("gc " + quoted(root.string())).status, 0);
}

// Every exit status the help text documents, command by command, and messages without
// the C++ function names the agent's own errors carry.
TEST_F(FleetTest, EveryCommandExitsWithTheDocumentedStatus) {
    // A point of the agent as the commands below name it (by its host), whatever the
    // suite's other tests left in the store.
    if (tool("points " + store() + " agent=127.0.0.1").out.find("no restore points") !=
        std::string::npos) {
        ASSERT_EQ(tool("backup 'Disk 0 Partition 0' " + store()).status, 0);
    }
    const std::uint16_t freePort = test::freePort();
    const std::string free = std::to_string(freePort);
    // What status cannot read is "unknown" to monitoring, never "ok".
    const fs::path damaged = work_->path() / "damaged-store";
    fs::create_directories(damaged);
    std::ofstream(damaged / "catalogue.db") << "not a database, but long enough to be read as one";
    const fs::path lostJobs = work_->path() / "lost-store.toml";
    std::ofstream(lostJobs) << "store = \"no-such-store\"\n[[agent]]\nname = \"a\"\n"
                            << "host = \"127.0.0.1\"\nvolumes = [\"Disk 0 Partition 0\"]\n";
    const fs::path badJobs = work_->path() / "bad.toml";
    std::ofstream(badJobs) << "store = [\n";
    const std::uint16_t server = healthy_->agent().port();
    struct Case {
        std::string arguments;
        int status;
        std::string says;        // in standard output or standard error
        std::uint16_t port = 0;  // 0: the healthy agent's
    } cases[] = {
        {"--version", 0, "backup-server 2.27.0"},
        {"--help", 0, "exit status (every command):"},
        {"", 2, "usage: backup-server [options] COMMAND"},
        {"nosuch", 2, "unknown command: nosuch"},
        {"--bogus echo", 2, "unrecognised option '--bogus'"},
        {"--port 2 echo", 2, "'--port' cannot be specified more than once"},
        {"--protocol abc echo", 2, "the argument ('abc') for option '--protocol' is invalid"},
        {"--protocol 3 echo", 2, "--protocol must be 1 or 2"},
        {"-q -v echo", 2, "-q and -v exclude each other"},
        {"--dry-run points " + store(), 2, "--dry-run is an option of forget only"},
        {"backup 'Disk 0 Partition 0' " + store() + " compression=2", 2,
         "compression=2: compression takes 0 or 1"},
        {"backup 'Disk 0 Partition 0' " + store() + " level=99", 2, "level=99: level takes 0 to 9"},
        {"restore X " + store() + " point=last", 2, "not a number: point=last"},
        {"forget " + store() + " keep-last=0", 2, "forget needs a keep rule above zero"},
        {"forget " + store() + " keep-within=3q", 2, "units are s, h, d, w, m"},
        {"status 1 2", 2, "status takes one COUNT"},
        {"partition-backup 'Disk 0'", 2, "usage: backup-server [options] partition-backup"},
        {"cat " + store() + " 'Disk 0 Partition 0' /x --json", 2, "cat writes the file's bytes"},
        {"echo", 4, "port " + free + ": Connection refused (is the agent", freePort},
        {"init-host", 4, "Connection refused", freePort},
        {"status", 4, "status port 127.0.0.1:" + free + ": Connection refused", freePort},
        {"status", 1, "is not the agent's status port: it answered as the agent's server port",
         server},
        {"backup 'Disk 0 Partition 9' " + store(), 1,
         "Unable to find mounted logical disk: Disk 0 Partition 9 (the agent's volumes: Disk 0 "
         "Partition 0 (C:"},
        {"restore 'Disk 0 Partition 9' " + store() + " from='Disk 0 Partition 0'", 1,
         "Disk 0 Partition 9 (the agent's volumes: Disk 0 Partition 0 (C:"},
        {"ls " + store() + " 'Disk 0 Partition 9'", 1,
         "holds no restore point of Disk 0 Partition 9 (it holds points of: Disk 0 Partition 0)"},
        {"status " + quoted((work_->path() / "no-store").string()), 3,
         "unknown  the store " + (work_->path() / "no-store").string() +
             " cannot be read: The store folder"},
        {"status " + quoted(damaged.string()), 3, "cannot be read: Cannot read the catalogue"},
        {"status " + quoted(lostJobs.string()), 3, "no-such-store cannot be read"},
        {"--json status " + quoted(badJobs.string()), 3,
         "{\"status\":\"unknown\",\"reason\":\"the jobs file " + badJobs.string()},
        {"echo", 0, "echo answered"},
        {"forget " + store() + " keep-last=1 --dry-run", 0, "(dry run: nothing changed)"},
        {"stats " + store(), 0, "deduplication ratio"},
        {"verify " + store(), 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        ToolResult run = tool(c.arguments, c.port);
        EXPECT_EQ(run.status, c.status) << run.out << run.errors;
        EXPECT_NE((run.out + run.errors).find(c.says), std::string::npos) << run.out << run.errors;
        // A function's parameter list and line never reach the operator.
        EXPECT_EQ((run.out + run.errors).find("std::"), std::string::npos) << run.out << run.errors;
    }
    // Another command holding the store: 5; the agent busy with a backup: 3.
    {
        backup_server::StoreLock lock(work_->path() / "store",
                                      backup_server::StoreLock::Kind::write, "test");
        ToolResult held = tool("forget " + store() + " keep-last=1");
        EXPECT_EQ(held.status, 5) << held.out << held.errors;
    }
    auto stalled = busy_->stalledBackup();
    ToolResult busy =
        tool("backup 'Disk 0 Partition 0' " + store() + " agent=busy", busy_->agent().port());
    EXPECT_EQ(busy.status, 3) << busy.out << busy.errors;
    EXPECT_NE(busy.out.find("the agent is busy with another backup"), std::string::npos);
}

// Every command's --json validates against its schema; messages go to standard error so
// that standard output holds the document alone. The store comes from ZENTRAD_STORE.
TEST_F(FleetTest, EveryCommandsJsonMatchesItsSchema) {
    // A store of its own: the other tests' job results leave nothing here.
    const std::string jsonStore = quoted((work_->path() / "json-store").string());
    const std::string environment = "ZENTRAD_STORE=" + jsonStore;
    fs::path extracted = work_->path() / "extracted";
    fs::path tables = work_->path() / "tables";
    const std::string sealed = quoted((work_->path() / "sealed-store").string());
    fs::path passphrase = work_->path() / "passphrase";
    std::ofstream(passphrase) << "json schemas\n";
    const std::string secret = "--password-file " + quoted(passphrase.string()) + " ";
    const std::uint16_t status = healthy_->agent().statusPort();
    struct Case {
        std::string arguments;
        std::string schema;
        std::uint16_t port;
    } cases[] = {
        {"backup 'Disk 0 Partition 0' level=1", "backup", 0},
        {"points", "points", 0},
        {"verify", "verify", 0},
        {"forget keep-last=1 --dry-run", "forget", 0},
        {"stats", "stats", 0},
        {"status " + jsonStore, "status-store", 0},
        {"status 2", "status-port", status},
        {"partition-list", "partition-list", 0},
        {"partition-backup 'Disk 0' " + quoted(tables.string()), "partition-backup", 0},
        {"echo", "echo", 0},
        {"handshake", "handshake", 0},
        {"public-key", "public-key", 0},
        {"server-info a=b", "server-info", 0},
        {"extract 'Disk 0 Partition 0' /random.bin " + quoted(extracted.string()), "extract", 0},
        {"forget keep-last=1", "forget", 0},
        {"gc", "gc", 0},
        {"partition-tables " + quoted(tables.string()), "partition-tables", 0},
        {"trust agent=healthy", "trust", 0},
        {"init --no-encryption " + quoted((work_->path() / "new-store").string()), "init", 0},
        {secret + "init " + sealed + " scrypt-n=1024", "init", 0},
        {"key list " + sealed, "key-list", 0},
        {secret + "key add " + sealed +
             " scrypt-n=1024 new-key-file=" + quoted((work_->path() / "store.key").string()),
         "key-add", 0},
        {"ls 'Disk 0 Partition 0' -R", "ls", 0},
        // The latest point and files go back where they came from: the volume is unchanged.
        {"restore 'Disk 0 Partition 0' " + jsonStore, "restore", 0},
        {"restore-files " + jsonStore + " 'Disk 0 Partition 0' /random.bin", "restore-files", 0},
        {"partition-restore 'Disk 0' " + quoted(tables.string()), "partition-restore", 0},
        {"keys-get " + quoted((work_->path() / "agent-keys").string()), "keys-get", 0},
        {"allow-list 127.0.0.1=" + quoted((keysDir() / "server_public.key").string()), "allow-list",
         0},
        {"init-host", "init-host", 0},
    };
    // init-keys and key remove are run below, run by the jobs tests above, and
    // rebuild-catalogue (which needs an object store) by the object-store tests.
    std::set<std::string> checked = {"init-keys", "key-remove", "run", "rebuild-catalogue"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        ToolResult run = tool("--json " + c.arguments, c.port, environment);
        EXPECT_EQ(run.status, 0) << run.out << run.errors;
        EXPECT_TRUE(matchesSchema(run.out, c.schema));
        checked.insert(c.schema);
    }
    std::string added = test::readWholeFile(work_->path() / "key-add.json");
    std::size_t id = added.find("\"added\":\"");
    ASSERT_NE(id, std::string::npos) << added;
    id += 9;
    ToolResult removed = tool("--json " + secret + "key remove " + sealed + " " +
                              added.substr(id, added.find('"', id) - id));
    EXPECT_EQ(removed.status, 0) << removed.out << removed.errors;
    EXPECT_TRUE(matchesSchema(removed.out, "key-remove"));
    // A command of the table without a schema, or not run above, fails here: COMMAND, or
    // COMMAND-FORM for a command with several forms. cat and mount refuse --json.
    for (const backup_server::CommandInfo& command : backup_server::commandTable()) {
        const std::string name = command.name;
        if (name == "cat" || name == "mount")
            continue;
        auto form = checked.lower_bound(name);
        EXPECT_TRUE(form != checked.end() && (*form == name || form->rfind(name + "-", 0) == 0))
            << name << " has no case here, or no schema in tests/e2e/schemas";
    }
    // init-keys needs a key folder of its own (the suite's has its key pair already).
    fs::path keys = work_->path() / "new-keys";
    std::string command = std::string(ZENTRAD_BINARY_DIR) +
                          "/tools/backup-server/backup-server --json --keys " +
                          quoted(keys.string()) + " init-keys > " +
                          quoted((work_->path() / "init-keys.out").string());
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(matchesSchema(test::readWholeFile(work_->path() / "init-keys.out"), "init-keys"));
}

}  // namespace

namespace {

// The systemd units shipped with the tool pass systemd's own check (a unit with an unknown
// key passes with a warning, so any output fails here too), and the generated man page and
// completion know every command of the table.
TEST(FleetInstall, UnitsVerifyAndTheGeneratedDocumentsNameEveryCommand) {
    const fs::path built = fs::path(ZENTRAD_BINARY_DIR) / "tools/backup-server";
    std::string man = test::readWholeFile(built / "backup-server.1");
    std::string completion = test::readWholeFile(built / "backup-server.bash-completion");
    std::string names;
    for (const backup_server::CommandInfo& command : backup_server::commandTable()) {
        std::string name = command.name;
        names += (names.empty() ? "" : " ") + name;
        for (std::size_t dash = name.find('-'); dash != std::string::npos;
             dash = name.find('-', dash + 2))
            name.replace(dash, 1, "\\-");  // roff's minus sign
        EXPECT_NE(man.find(".B " + name), std::string::npos) << name;
    }
    EXPECT_NE(completion.find("\"" + names + "\""), std::string::npos) << completion;
    if (std::system("command -v systemd-analyze > /dev/null") != 0)
        GTEST_SKIP() << "systemd-analyze is not installed (scripts/setup.sh installs systemd)";
    test::TempDir scratch;
    fs::path report = scratch.path() / "verify.out";
    fs::path units = built / "systemd-test";
    std::string command =
        "systemd-analyze verify --man=no '" + (units / "backup-server.service").string() + "' '" +
        (units / "backup-server.timer").string() + "' > '" + report.string() + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << test::readWholeFile(report);
    EXPECT_EQ(test::readWholeFile(report), "");
}

}  // namespace
