// A real agent process on a temporary installation and emulated host, for end-to-end tests.
// The installation gets its own server port and status port, so several agents can run
// side by side. The destructor stops the agent (SIGTERM) if it still runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "backup-server/session/AgentSession.h"
#include "backup-server/session/ServerKeys.h"
#include "common/TempDir.h"

namespace test {

struct AgentSettings {
    int timeoutSeconds = 30;
    bool ipAuthentication = false;
    std::vector<std::string> arguments;  // e.g. "--recovery"
    std::string extraConfig;             // more lines for zentrad.conf
    std::string hostConfig;              // host.conf of the emulated host
};

class AgentProcess {
  public:
    explicit AgentProcess(AgentSettings settings = {});
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Starts the agent and waits until it listens; throws std::runtime_error (with the
    // agent's output) when it does not.
    void start();
    // SIGTERM and wait; returns the exit status (or -1 when it did not exit normally).
    int stop();
    // SIGTERM, then waits at most limit; a process still running then is killed and -2
    // returned. Otherwise as stop().
    int stopWithin(std::chrono::milliseconds limit);
    // The process id while it runs, else -1.
    pid_t pid() const { return pid_; }

    std::uint16_t port() const { return port_; }
    std::uint16_t statusPort() const { return statusPort_; }
    const std::filesystem::path& installDir() const { return installDir_; }
    const std::filesystem::path& hostRoot() const { return hostRoot_; }
    std::filesystem::path configDir() const { return installDir_ / "config"; }
    std::filesystem::path serverAllowDir() const { return configDir() / "server.allow"; }
    std::filesystem::path backupAllowDir() const { return installDir_ / "db" / "backup.allow"; }
    std::filesystem::path logFile() const { return installDir_ / "log" / "zentrad.log"; }

    std::string log() const;
    // Waits until the log holds text at or after offset from; false after the time limit.
    bool waitForLog(const std::string& text,
                    std::chrono::milliseconds limit = std::chrono::seconds(20),
                    std::size_t from = 0) const;

    // Admits a server by key: its public key into server.allow under the given file name.
    void allowServer(const backup_server::ServerKeys& keys, const std::string& fileName = "server");

    // A new connection to this agent (not yet authenticated).
    std::unique_ptr<backup_server::AgentSession> connect() const;
    // A new connection, authenticated with keys, offering protocol versions up to offer;
    // fails the test's expectations otherwise.
    std::unique_ptr<backup_server::AgentSession> openSession(const backup_server::ServerKeys& keys,
                                                             std::uint32_t offer = 2) const;

    // Runs hostsim on the agent's host; returns its output (fails the test when it fails).
    std::string sim(const std::string& arguments) const;
    // Puts a file with content at path on the NTFS volume ("D:P", as hostsim names it).
    void put(const std::string& volume, const std::string& path, const std::string& content) const;
    std::filesystem::path diskImage(std::uint32_t disk = 0) const {
        return hostRoot_ / "disks" / (std::to_string(disk) + ".img");
    }

  private:
    void writeConfiguration();
    std::vector<std::string> environment() const;

    AgentSettings settings_;
    TempDir dir_;
    std::filesystem::path installDir_;
    std::filesystem::path hostRoot_;
    std::uint16_t port_ = 0;
    std::uint16_t statusPort_ = 0;
    pid_t pid_ = -1;
};

// Sets the bound on every wait of this (the server's) process for the agent, so a test that
// goes wrong fails instead of hanging; also loads the cryptographic providers.
void prepareServerSide(int timeoutSeconds = 20);
// That bound, for the sockets a test opens to the agent.
std::int32_t serverTimeout();

// The shell command that runs the backup-server tool with the server keys in keys against
// the agent at port.
std::string backupServerCommand(const std::filesystem::path& keys, std::uint16_t port,
                                const std::string& arguments);

// What a run of the backup-server tool ended with: its exit status (-1 when it did not exit
// normally) and everything it printed.
struct ToolRun {
    int status = -1;
    std::string output;
};

// Runs the backup-server tool as backupServerCommand does; the output passes through a file
// in the folder scratch.
ToolRun runBackupServer(const std::filesystem::path& keys, std::uint16_t port,
                        const std::string& arguments, const std::filesystem::path& scratch);

// A port that was free a moment ago.
std::uint16_t freePort();

// A temporary folder holding a new, empty store (backup_server::createStore).
std::unique_ptr<TempDir> newStoreFolder();

// A server key pair in a folder of its own, made once per process and reused.
const backup_server::ServerKeys& serverKeys(const std::string& name);

// Settings for an agent that serves a whole suite's restores: a time-out far longer than any
// wait of the server, so a restore that waits for the agent's time-out fails the test
// instead of passing slowly.
AgentSettings patientAgentSettings();

// A new agent (not yet started) on an emulated host that hostsim has initialised and then
// built with each of the commands in turn (e.g. "add-disk ...", "mkfs 0:0").
std::unique_ptr<AgentProcess> agentOnHost(AgentSettings settings,
                                          const std::vector<std::string>& hostsimCommands);

// The session received a log record with this code and exactly this text.
bool hasLogRecord(const backup_server::AgentSession& session, net::Code code,
                  const std::string& text);

// The text of the last ERROR record the session received, or a note when there is none.
std::string lastErrorRecord(const backup_server::AgentSession& session);

// Reads codes until the agent reports its failure (log records collected on the way) and
// returns the text of its last ERROR record, or a note when it sent no PROT_ERROR.
std::string closingReason(backup_server::AgentSession& session);

}  // namespace test
