#include "agent/Options.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "agent/AgentOptions.h"
#include "agent/Service.h"
#include "common/TempDir.h"

namespace {

namespace fs = std::filesystem;

// Gives each test its own installation directory and service unit directory and captures
// standard output, where the help text, the service messages and every log line appear.
class OptionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("ZENTRAD_INSTALL_DIR", install_.path().c_str(), 1);
        setenv("ZENTRAD_UNIT_DIR", units_.path().c_str(), 1);
        fs::create_directories(install_.path() / "config");
        old_ = std::cout.rdbuf(output_.rdbuf());
    }
    void TearDown() override {
        std::cout.rdbuf(old_);
        unsetenv("ZENTRAD_INSTALL_DIR");
        unsetenv("ZENTRAD_UNIT_DIR");
    }
    void writeConfig(const std::string& text, const fs::path& file = {}) {
        std::ofstream(file.empty() ? install_.path() / "config" / "zentrad.conf" : file) << text;
    }
    std::optional<int> handle(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "zentrad");
        return agent::handleOptions(arguments);
    }
    std::string parseError(std::vector<std::string> arguments) {
        try {
            handle(std::move(arguments));
        } catch (const std::exception& error) {
            return error.what();
        }
        return "no error";
    }
    std::shared_ptr<agent::AgentOptions> options() { return agent::agentOptions(); }
    std::string output() const { return output_.str(); }
    fs::path unit() const { return units_.path() / "zentrad.service"; }
    std::string unitText() const {
        std::ifstream in(unit());
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    test::TempDir install_;
    test::TempDir units_;
    std::ostringstream output_;
    std::streambuf* old_ = nullptr;
};

TEST_F(OptionsTest, DefaultsWithoutConfigurationFile) {
    EXPECT_EQ(std::nullopt, handle({}));
    auto o = options();
    const fs::path& base = install_.path();
    EXPECT_EQ(base, o->installDir());
    EXPECT_EQ(base / "config", o->confDir());
    EXPECT_EQ(base / "config" / "zentrad.conf", o->configFile());
    EXPECT_EQ(base / "config" / "server.allow", o->serverAllowFile());
    EXPECT_EQ(base / "config" / "rsa.key", o->rsaKeyFile());
    EXPECT_EQ(base / "config" / "rsa_public.key", o->rsaPublicKeyFile());
    EXPECT_EQ(base / "config" / "backup.key", o->backupKeyFile());
    EXPECT_EQ(base / "temp", o->tempDir());
    EXPECT_EQ(base / "db", o->dbDir());
    EXPECT_EQ(base / "db" / "backup.allow", o->backupAllowDir());
    EXPECT_EQ(base / "log", o->logDir());
    EXPECT_EQ(base / "log" / "zentrad.log", o->logFile());
    EXPECT_EQ(1167, o->localPort());
    EXPECT_EQ(160, o->timeout());
    EXPECT_EQ(1200, o->vssTimeout());
    EXPECT_EQ(128, o->sessionKeyBits());
    EXPECT_FALSE(o->ipAuthentication());
    EXPECT_FALSE(o->recovery());
}

TEST_F(OptionsTest, ConfigurationFileKeys) {
    writeConfig("LocalPort = 21167\nTimeout=30\nIPAuthentication = yes\nLogDir = /var/tmp/zlogs\n");
    EXPECT_EQ(std::nullopt, handle({}));
    EXPECT_EQ(21167, options()->localPort());
    EXPECT_EQ(30, options()->timeout());
    EXPECT_TRUE(options()->ipAuthentication());
    EXPECT_EQ(fs::path("/var/tmp/zlogs"), options()->logDir());
    EXPECT_EQ(fs::path("/var/tmp/zlogs/zentrad.log"), options()->logFile());
}

TEST_F(OptionsTest, RelativeConfDirMovesKeyFilesButNotTheConfigFile) {
    writeConfig("ConfDir = conf2\n");
    handle({});
    auto o = options();
    EXPECT_EQ(install_.path() / "conf2", o->confDir());
    EXPECT_EQ(install_.path() / "conf2" / "rsa.key", o->rsaKeyFile());
    EXPECT_EQ(install_.path() / "conf2" / "server.allow", o->serverAllowFile());
    EXPECT_EQ(install_.path() / "conf2" / "backup.key", o->backupKeyFile());
    EXPECT_EQ(install_.path() / "config" / "zentrad.conf", o->configFile());
    EXPECT_EQ(install_.path() / "db" / "backup.allow", o->backupAllowDir());
}

TEST_F(OptionsTest, RelativeConfigOptionIsTakenFromTheInstallationDirectory) {
    fs::create_directories(install_.path() / "other");
    writeConfig("LocalPort = 4000\n", install_.path() / "other" / "my.conf");
    test::TempDir elsewhere;
    auto previous = fs::current_path();
    fs::current_path(elsewhere.path());
    handle({"--config", "other/my.conf"});
    fs::current_path(previous);
    EXPECT_EQ(install_.path() / "other" / "my.conf", options()->configFile());
    EXPECT_EQ(4000, options()->localPort());
}

// Each value or key that is not allowed where it stands is a parse error, logged with where
// it was found; the configuration file is read before any one-shot action such as help.
TEST_F(OptionsTest, BadValuesAndKeysAreParseErrors) {
    struct Case {
        const char* config;
        std::vector<std::string> arguments;
        const char* error;  // null: any error
    } cases[] = {
        {"LocalPort = 70000\n", {}, "the argument ('70000') for option 'LocalPort' is invalid"},
        {"LocalPort = -1\n", {}, "the argument ('-1') for option 'LocalPort' is invalid"},
        {"Timeout = soon\n", {}, "the argument ('soon') for option 'Timeout' is invalid"},
        {"IPAuthentication = maybe\n", {}, nullptr},
        {"bogus = 1\n", {"-h"}, "unrecognised option 'bogus'"},
        {"localport = 1200\n", {}, "unrecognised option 'localport'"},
        {"recovery = 1\n", {}, "unrecognised option 'recovery'"},  // command line only
        {"", {"--bogus"}, nullptr},
        {"", {"--LocalPort", "5"}, nullptr},  // file only
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.config) + (c.arguments.empty() ? "" : c.arguments[0]));
        writeConfig(c.config);
        if (c.error != nullptr)
            EXPECT_EQ(c.error, parseError(c.arguments));
        else
            EXPECT_NE("no error", parseError(c.arguments));
    }
    EXPECT_NE(std::string::npos, output().find("ERROR Error parsing config file: the argument "
                                               "('70000') for option 'LocalPort' is invalid"));
    EXPECT_NE(std::string::npos, output().find("ERROR Error parsing command line arguments: "));
    EXPECT_EQ(std::string::npos, output().find("Generic options:"));
}

TEST_F(OptionsTest, CommandLineSetsTheSnapshotTimeoutAndRecoveryMode) {
    handle({"-t", "0"});
    EXPECT_EQ(0, options()->vssTimeout());
    handle({"--vsstimeout", "45"});
    EXPECT_EQ(45, options()->vssTimeout());
    EXPECT_EQ(std::nullopt, handle({"-r"}));
    EXPECT_EQ(1200, options()->vssTimeout());
    EXPECT_TRUE(options()->recovery());
    EXPECT_NE(std::string::npos, output().find(" WARN Agent is running in disaster recovery mode"));
}

TEST_F(OptionsTest, HelpWinsOverInstallAndExitsWithOne) {
    EXPECT_EQ(1, handle({"-h", "-i"}));
    EXPECT_NE(std::string::npos, output().find("Generic options:"));
    EXPECT_NE(std::string::npos, output().find("install as a new NT service"));
    EXPECT_EQ(std::string::npos, output().find("Config Directory"));
    EXPECT_FALSE(fs::exists(units_.path() / "zentrad.service"));
}

// The image is the running executable, whatever the working directory of the installer.
TEST_F(OptionsTest, ServiceInstallRegistersTheExecutableItselfOnce) {
    test::TempDir working;
    auto previous = fs::current_path();
    fs::current_path(working.path());
    auto code = handle({"-i"});
    fs::current_path(previous);
    EXPECT_EQ(0, code);
    EXPECT_NE(std::string::npos, output().find("Installed service successfully.\n"));
    std::string text = unitText();
    EXPECT_NE(std::string::npos, text.find("ExecStart=" + install_.path().string() + "/zentrad\n"));
    EXPECT_NE(std::string::npos, text.find("Description=Kelvane Backup Agent\n"));
    EXPECT_NE(std::string::npos, text.find("Environment=ZENTRAD_SERVICE=1\n"));
    EXPECT_NE(std::string::npos, text.find("WantedBy=multi-user.target"));

    // A second install fails and keeps the first unit; a delete without a unit fails.
    EXPECT_EQ(1, handle({"--install"}));
    EXPECT_NE(std::string::npos, output().find("Failed to install service. Cannot create the "
                                               "service: "));
    EXPECT_NE(std::string::npos, output().find("(error 1073)\n"));
    EXPECT_EQ(text, unitText());
    EXPECT_EQ(0, handle({"-d"}));
    EXPECT_NE(std::string::npos, output().find("Deleted service successfully.\n"));
    EXPECT_FALSE(fs::exists(unit()));
    EXPECT_EQ(1, handle({"-d"}));
    EXPECT_NE(std::string::npos, output().find("Failed to delete service. Cannot open the "
                                               "service: "));
    EXPECT_NE(std::string::npos, output().find("(error 1060)\n"));
}

TEST_F(OptionsTest, ServiceInstallFailsWithoutUnitDirectoryAndAConsoleIsNoService) {
    setenv("ZENTRAD_UNIT_DIR", (units_.path() / "missing").c_str(), 1);
    EXPECT_EQ(1, handle({"-i"}));
    EXPECT_NE(std::string::npos, output().find("Failed to install service."));
    unsetenv("ZENTRAD_SERVICE");
    EXPECT_FALSE(agent::dispatchService());
}

}  // namespace
