// Commands of the backup-server tool. Each command lives in its own file and is listed
// once in CommandTable.cc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "backup-server/commands/JsonText.h"
#include "backup-server/session/AgentSession.h"
#include "backup-server/store/KeySource.h"
#include "backup-server/store/StoreError.h"
#include "net/SocketException.h"

namespace backup_server {

// UsageError (store/StoreError.h), which the store raises too, is a wrong command line: the
// tool prints the message and the command's usage, and exits 2.

// The agent could not be reached; the message names host and port.
class AgentUnreachable : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The tool's exit statuses.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1,       // the work failed (the agent's or the store's error is printed)
    kExitUsage = 2,        // a wrong command line
    kExitBusy = 3,         // the agent is busy with another backup (status: unknown)
    kExitUnreachable = 4,  // the agent cannot be reached
    kExitStoreInUse = 5,   // another command is using the store
    kExitDamaged = 6,      // verify found damage
};

struct CommandContext {
    std::filesystem::path keysDir;
    std::string host = "127.0.0.1";
    std::uint16_t port = 1167;
    std::vector<std::string> arguments;  // after the command name
    bool json = false;                   // --json: machine-readable output
    bool quiet = false;                  // -q: results, warnings and errors only
    bool verbose = false;                // -v: what the tool connects to
    bool dryRun = false;                 // --dry-run: say what would change, change nothing
    bool noEncryption = false;           // --no-encryption: init makes an unencrypted store
    std::int64_t warnAge = 0;            // status --warn-age, seconds (0: no limit)
    std::int64_t critAge = 0;            // status --crit-age, seconds (0: no limit)
    bool longListing = false;            // -l (ls)
    bool recursive = false;              // -R (ls)
    bool stats = false;                  // --stats: chunks read (ls, cat) on standard error
    std::uint32_t protocol = 2;          // --protocol: the highest version to offer
    std::int32_t timeoutSeconds = AgentSession::kTimeoutSeconds;  // longest wait for the agent
    std::ostream* out = nullptr;
    KeySource keySource;  // --password-file, ZENTRAD_PASSWORD_FILE, --key-file

    // Where messages beside the result go: standard error with --json, else out.
    std::ostream& messages() const;
    // A command's result: the JSON document with --json, else the text (each ends a line).
    void print(const std::string& text, const JsonText& json) const;
    // Where progress lines go: messages(), or nowhere with -q.
    std::ostream& progressStream() const;
    // Throws runtime::AgentException when --keys names no key pair (see init-keys).
    ServerKeys keys() const { return ServerKeys::load(keysDir); }
    // "the agent at host H, port P".
    std::string agentAddress() const;
    // A failed connection as the error to report (exit status 4).
    AgentUnreachable unreachable(const net::SocketException& error) const;
    // Connects without authenticating; throws AgentUnreachable when nothing answers.
    std::unique_ptr<AgentSession> connect() const;
    // Connects and authenticates, printing the agent's log records as they arrive. Throws
    // AgentUnreachable when nothing answers, runtime::AgentException when the agent turns
    // the server away.
    std::unique_ptr<AgentSession> openSession() const;
};

struct CommandInfo {
    const char* name;
    const char* usage;
    int (*run)(CommandContext& context);
    // The place of the STORE word among the command's words (ZENTRAD_STORE can stand in
    // for it); -1 for commands without one.
    int storeWord = -1;
};

const std::vector<CommandInfo>& commandTable();

struct ExitStatusInfo {
    int status;
    const char* meaning;
};
// The exit statuses every command keeps to, for the help text, the man page and tests.
const std::vector<ExitStatusInfo>& exitStatusTable();

// The commands; each returns the tool's exit code.
int publicKeyCommand(CommandContext& context);
int handshakeCommand(CommandContext& context);
int initializeHostCommand(CommandContext& context);
int echoCommand(CommandContext& context);
int serverInfoCommand(CommandContext& context);
int keysGetCommand(CommandContext& context);
int allowListCommand(CommandContext& context);
int statusCommand(CommandContext& context);
// status STORE|JOBS: the monitoring form of status (statusCommand calls it).
int storeStatusCommand(CommandContext& context);
int runJobsCommand(CommandContext& context);
int statsCommand(CommandContext& context);
int partitionListCommand(CommandContext& context);
int partitionBackupCommand(CommandContext& context);
int partitionRestoreCommand(CommandContext& context);
int restoreCommand(CommandContext& context);
int backupCommand(CommandContext& context);
int restoreFilesCommand(CommandContext& context);
int pointsCommand(CommandContext& context);
int verifyCommand(CommandContext& context);
int forgetCommand(CommandContext& context);
int gcCommand(CommandContext& context);
int rebuildCatalogueCommand(CommandContext& context);
int lsCommand(CommandContext& context);
int catCommand(CommandContext& context);
int extractCommand(CommandContext& context);
int mountCommand(CommandContext& context);
int initCommand(CommandContext& context);
int initKeysCommand(CommandContext& context);
int trustCommand(CommandContext& context);
int partitionTablesCommand(CommandContext& context);
// key list|add|remove STORE ...: the passphrases and key files of an encrypted store.
int keyCommand(CommandContext& context);
struct FileRestoreReport;
// The result of restore-files: unread names the files that could not be read from a point.
void printFileRestoreReport(const CommandContext& context, const FileRestoreReport& report,
                            const std::vector<std::string>& unread);
// restore-files STORE DEVICE-ID ...: the files of a restore point (restore-files calls it).
int restorePointFilesCommand(CommandContext& context);

}  // namespace backup_server
