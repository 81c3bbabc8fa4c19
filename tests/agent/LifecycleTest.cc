// The run function's life: start, serve, and an orderly stop from the running flag, from
// SIGTERM in console mode and from the stop control in service mode.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "agent/Agent.h"
#include "common/ChildProcess.h"
#include "common/TempDir.h"
#include "runtime/RunState.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// An installation directory with its own configuration and an emulated host root that
// has the change-tracking driver's folder.
class Installation {
  public:
    explicit Installation(const std::string& config = "LocalPort = 0\nTimeout = 5\n") {
        fs::create_directories(dir_.path() / "agent" / "config");
        fs::create_directories(dir_.path() / "host" / "driver");
        std::ofstream(dir_.path() / "agent" / "config" / "zentrad.conf") << config;
    }
    fs::path installDir() const { return dir_.path() / "agent"; }
    fs::path hostRoot() const { return dir_.path() / "host"; }
    fs::path logFile() const { return installDir() / "log" / "zentrad.log"; }
    fs::path output() const { return dir_.path() / "agent.out"; }
    std::map<std::string, std::string> environment() const {
        return {{"ZENTRAD_INSTALL_DIR", installDir().string()},
                {"ZENTRAD_HOST_ROOT", hostRoot().string()}};
    }
    std::string log() const { return test::readWholeFile(logFile()); }

  private:
    test::TempDir dir_;
};

std::string agentBinary() {
    return std::string(ZENTRAD_BINARY_DIR) + "/src/agent/zentrad";
}

TEST(Lifecycle, ClearingTheRunningFlagStopsTheRunFunctionInOrder) {
    Installation installation;
    for (const auto& [name, value] : installation.environment())
        setenv(name.c_str(), value.c_str(), 1);
    runtime::runningFlag() = 1;
    runtime::stoppedFlag() = 0;
    auto result = std::async(std::launch::async, [] { return agent::run({"zentrad"}); });
    ASSERT_TRUE(test::waitUntil([&] { return fs::exists(installation.logFile()); }, 20s));
    EXPECT_EQ(0, runtime::stoppedFlag());
    runtime::runningFlag() = 0;
    ASSERT_EQ(std::future_status::ready, result.wait_for(20s));
    EXPECT_EQ(0, result.get());
    EXPECT_EQ(1, runtime::stoppedFlag());
    EXPECT_NE(std::string::npos, installation.log().find(" INFO Agent stopped"));
    runtime::runningFlag() = 1;
    unsetenv("ZENTRAD_INSTALL_DIR");
    unsetenv("ZENTRAD_HOST_ROOT");
}

TEST(Lifecycle, ConsoleAgentStopsInOrderOnSigterm) {
    Installation installation;
    test::ChildProcess agent(agentBinary(), {}, installation.environment(), installation.output());
    ASSERT_TRUE(agent.started());
    ASSERT_TRUE(test::waitUntil([&] { return fs::exists(installation.logFile()); }, 20s));
    agent.signal(SIGTERM);
    EXPECT_EQ(0, agent.wait(30s));
    std::string log = installation.log();
    EXPECT_NE(std::string::npos, log.find(" WARN Stop requested, shutting down"));
    EXPECT_NE(std::string::npos, log.find(" INFO Agent stopped"));
    std::string out = test::readWholeFile(installation.output());
    EXPECT_NE(std::string::npos,
              out.find(" INFO (Vardex Windows Backup Agent) 2.27.0 build 11233 ("));
}

TEST(Lifecycle, ServiceStopsOnStopControlAfterTheAgentHasStopped) {
    Installation installation;
    auto environment = installation.environment();
    environment["ZENTRAD_SERVICE"] = "1";
    test::ChildProcess agent(agentBinary(), {}, environment, installation.output());
    ASSERT_TRUE(test::waitUntil([&] { return fs::exists(installation.logFile()); }, 20s));
    agent.signal(SIGTERM);
    EXPECT_EQ(0, agent.wait(30s));
    std::string log = installation.log();
    auto shuttingDown = log.find(" WARN Service is shutting down");
    auto stopped = log.find(" INFO Agent stopped");
    ASSERT_NE(std::string::npos, shuttingDown);
    ASSERT_NE(std::string::npos, stopped);
    EXPECT_LT(shuttingDown, stopped);
}

TEST(Lifecycle, MalformedConfigurationStopsWithoutServing) {
    Installation installation("LocalPort = 70000\n");
    test::ChildProcess agent(agentBinary(), {}, installation.environment(), installation.output());
    EXPECT_EQ(0, agent.wait(30s));
    std::string out = test::readWholeFile(installation.output());
    std::string message =
        "Error parsing config file: the argument ('70000') for option 'LocalPort' is invalid";
    auto first = out.find("ERROR " + message);
    ASSERT_NE(std::string::npos, first) << out;
    // Logged by the option parser and once more by the run function's handler.
    EXPECT_NE(std::string::npos,
              out.find("ERROR the argument ('70000') for option 'LocalPort' is invalid", first));
    EXPECT_FALSE(fs::exists(installation.logFile()));
}

TEST(Lifecycle, LogDirectoryThatCannotBeCreatedStopsTheAgentWithAnError) {
    Installation installation("LocalPort = 0\nLogDir = /proc/zentrad-no-such/log\n");
    test::ChildProcess agent(agentBinary(), {}, installation.environment(), installation.output());
    EXPECT_EQ(0, agent.wait(30s));
    std::string out = test::readWholeFile(installation.output());
    EXPECT_NE(std::string::npos, out.find("ERROR ")) << out;
    EXPECT_NE(std::string::npos, out.find("/proc/zentrad-no-such/log")) << out;
    EXPECT_NE(std::string::npos, out.find(" INFO Agent stopped"));
}

TEST(Lifecycle, MissingChangeTrackingDriverEndsWithStatusOne) {
    Installation installation;
    fs::remove_all(installation.hostRoot() / "driver");
    test::ChildProcess agent(agentBinary(), {}, installation.environment(), installation.output());
    EXPECT_EQ(1, agent.wait(30s));
    std::string out = test::readWholeFile(installation.output());
    EXPECT_NE(
        std::string::npos,
        out.find("ERROR Failed to open control device.  Have you rebooted since the agent was "
                 "installed? Error: "))
        << out;
}

TEST(Lifecycle, HelpExitsWithOneBeforeStarting) {
    Installation installation;
    test::ChildProcess agent(agentBinary(), {"--help"}, installation.environment(),
                             installation.output());
    EXPECT_EQ(1, agent.wait(30s));
    EXPECT_NE(std::string::npos,
              test::readWholeFile(installation.output()).find("Generic options:"));
}

}  // namespace
