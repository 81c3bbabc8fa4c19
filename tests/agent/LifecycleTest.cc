// The run function's life: start, serve, and an orderly stop from the running flag, from
// SIGTERM in console mode and from the stop control in service mode.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "agent/Agent.h"
#include "common/ChildProcess.h"
#include "common/TempDir.h"
#include "runtime/RunState.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kConfig = "LocalPort = 0\nTimeout = 5\n";

// An installation directory with its own configuration and an emulated host root that
// has the change-tracking driver's folder.
class Installation {
  public:
    explicit Installation(const std::string& config = kConfig) {
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

// Whether every part occurs in text, each after the one before it.
::testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t at = 0;
    for (const std::string& part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos)
            return ::testing::AssertionFailure() << "no \"" << part << "\" in order in:\n" << text;
        at += part.size();
    }
    return ::testing::AssertionSuccess();
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
    runtime::stoppedFlag() = 0;
    unsetenv("ZENTRAD_INSTALL_DIR");
    unsetenv("ZENTRAD_HOST_ROOT");
}

// A console agent stops on SIGTERM, a service on the stop control (SIGTERM on this host),
// each saying so before the agent has stopped.
TEST(Lifecycle, ConsoleAndServiceStopInOrderOnTheirStopRequests) {
    for (bool service : {false, true}) {
        SCOPED_TRACE(service ? "service" : "console");
        Installation installation;
        auto environment = installation.environment();
        if (service)
            environment["ZENTRAD_SERVICE"] = "1";
        test::ChildProcess agent(agentBinary(), {}, environment, installation.output());
        ASSERT_TRUE(agent.started());
        ASSERT_TRUE(test::waitUntil([&] { return fs::exists(installation.logFile()); }, 20s));
        agent.signal(SIGTERM);
        EXPECT_EQ(0, agent.wait(30s));
        EXPECT_TRUE(inOrder(installation.log(), {service ? " WARN Service is shutting down"
                                                         : " WARN Stop requested, shutting down",
                                                 " INFO Agent stopped"}));
        if (!service) {
            EXPECT_TRUE(inOrder(test::readWholeFile(installation.output()),
                                {" INFO (Vardex Windows Backup Agent) 2.27.0 build 11233 ("}));
        }
    }
}

// A port some other program listens on.
class BusyPort {
  public:
    BusyPort() {
        handle_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        if (::bind(handle_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(handle_, 1) != 0 ||
            ::getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            ADD_FAILURE() << "no port to hold";
        port_ = ntohs(address.sin_port);
    }
    ~BusyPort() { ::close(handle_); }
    BusyPort(const BusyPort&) = delete;
    BusyPort& operator=(const BusyPort&) = delete;
    std::uint16_t port() const { return port_; }

  private:
    int handle_ = -1;
    std::uint16_t port_ = 0;
};

// Runs that end before serving: the exit status (non-zero for every failure), what the
// console shows, and no log file.
// A bad port is logged by the option parser and once more by the run function's handler.
TEST(Lifecycle, RunsThatCannotServeEndWithTheirStatusAndReason) {
    const std::string port = "the argument ('70000') for option 'LocalPort' is invalid";
    const std::string parse = "ERROR Error parsing config file: " + port;
    const std::string driver =
        "ERROR Failed to open control device.  Have you rebooted since "
        "the agent was installed? Error: ";
    const std::string noDir = "/proc/zentrad-no-such/log";
    const std::string badLogDir = kConfig + "LogDir = " + noDir + "\n";
    struct Case {
        std::string config;
        const char* argument;  // null: none
        bool driver;
        int status;
        std::vector<std::string> output;
    } cases[] = {
        {"LocalPort = 70000\n", nullptr, true, 2, {parse, "ERROR " + port}},
        {badLogDir, nullptr, true, 2, {"ERROR ", noDir, " INFO Agent stopped"}},
        {kConfig, nullptr, false, 1, {driver}},
        {kConfig, "--help", true, 1, {"Generic options:"}},
        // Configuration and command-line mistakes stop the agent before it serves.
        {kConfig + "Bogus = 1\n", nullptr, true, 2, {"ERROR unrecognised option 'Bogus'"}},
        {kConfig, "--bogus", true, 2, {"ERROR unrecognised option '--bogus'"}},
        {kConfig,
         "-cnosuch.conf",
         true,
         2,
         {"ERROR Cannot read the configuration file ", "nosuch.conf\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output[0]);
        Installation installation(c.config);
        if (!c.driver)
            fs::remove_all(installation.hostRoot() / "driver");
        std::vector<std::string> arguments;
        if (c.argument != nullptr)
            arguments.push_back(c.argument);
        test::ChildProcess agent(agentBinary(), arguments, installation.environment(),
                                 installation.output());
        EXPECT_EQ(c.status, agent.wait(30s));
        EXPECT_TRUE(inOrder(test::readWholeFile(installation.output()), c.output));
        EXPECT_FALSE(fs::exists(installation.logFile()));
    }
    // A port another program holds is found once the log is open.
    BusyPort busy;
    Installation installation("LocalPort = " + std::to_string(busy.port()) + "\n");
    test::ChildProcess agent(agentBinary(), {}, installation.environment(), installation.output());
    EXPECT_EQ(2, agent.wait(30s));
    EXPECT_TRUE(inOrder(installation.log(),
                        {"ERROR Failed to bind to port (" + std::to_string(busy.port()) + ")"}));
}

// The statuses a service reports, one "state ..." line each (see platform/Service.h).
std::vector<std::string> serviceStatuses(const fs::path& file) {
    std::vector<std::string> lines;
    std::istringstream in(test::readWholeFile(file));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A service reports start pending, running only once it listens, stop pending on the stop
// control and stopped with exit code 0; one that cannot start reports stopped with the
// service-specific error and its exit code, so the service manager's recovery can act.
TEST(Lifecycle, AServiceReportsEveryStateAndAFailedStartWithItsExitCode) {
    const std::string startPending =
        "state 2 controls 0 win32 0 specific 0 checkpoint 1 wait 30000";
    const std::string running = "state 4 controls 257 win32 0 specific 0 checkpoint 0 wait 0";
    const std::string stopPending = "state 3 controls 0 win32 0 specific 0 checkpoint 1 wait 30000";
    for (bool driver : {true, false}) {
        SCOPED_TRACE(driver ? "serving" : "no control device");
        Installation installation;
        if (!driver)
            fs::remove_all(installation.hostRoot() / "driver");
        const fs::path statusFile = installation.installDir() / "status.txt";
        auto environment = installation.environment();
        environment["ZENTRAD_SERVICE"] = "1";
        environment["ZENTRAD_SERVICE_STATUS_FILE"] = statusFile.string();
        test::ChildProcess agent(agentBinary(), {}, environment, installation.output());
        ASSERT_TRUE(agent.started());
        if (!driver) {
            EXPECT_EQ(0, agent.wait(30s));
            auto statuses = serviceStatuses(statusFile);
            ASSERT_GE(statuses.size(), 2u);
            EXPECT_EQ(statuses.front(), startPending);
            EXPECT_EQ(statuses.back(),
                      "state 1 controls 0 win32 1066 specific 1 checkpoint 0 wait 0");
            continue;
        }
        auto isRunning = [&] {
            auto statuses = serviceStatuses(statusFile);
            return std::find(statuses.begin(), statuses.end(), running) != statuses.end();
        };
        ASSERT_TRUE(test::waitUntil(isRunning, 20s));
        agent.signal(SIGTERM);
        EXPECT_EQ(0, agent.wait(30s));
        auto statuses = serviceStatuses(statusFile);
        auto at = std::find(statuses.begin(), statuses.end(), running);
        ASSERT_TRUE(at != statuses.end() && at + 2 < statuses.end());
        EXPECT_EQ(statuses.front(), startPending);
        EXPECT_EQ(*(at + 1), stopPending);
        EXPECT_EQ(statuses.back(), "state 1 controls 0 win32 0 specific 0 checkpoint 0 wait 0");
    }
}

}  // namespace
