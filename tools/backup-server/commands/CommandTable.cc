#include "backup-server/commands/Command.h"

#include <iostream>
#include "backup-server/commands/OperatorText.h"

#include "net/SocketException.h"
#include "platform/Socket.h"
#include "runtime/Exceptions.h"

namespace backup_server {

const std::vector<CommandInfo>& commandTable() {
    static const std::vector<CommandInfo> commands = {
        {"init-keys",
         "init-keys                  make this server's key pair in the --keys folder and\n"
         "                           print its public key (for an allow directory)",
         initKeysCommand},
        {"init",
         "init STORE [--no-encryption] [scrypt-n=N]\n"
         "                           make a new store of restore points (folder 0700),\n"
         "                           encrypted unless --no-encryption",
         initCommand, 0},
        {"trust",
         "trust STORE agent=NAME     pin NAME to the key of the agent at --host (accepts a\n"
         "                           reinstalled agent's new key)",
         trustCommand, 0},
        {"public-key",
         "public-key                 print this server's public key (for an allow directory)",
         publicKeyCommand},
        {"handshake", "handshake                  authenticate and finish", handshakeCommand},
        {"init-host", "init-host                  exchange keys, then end with host initialisation",
         initializeHostCommand},
        {"echo", "echo                       send a test and check the reply", echoCommand},
        {"server-info", "server-info [ITEM=VALUE]   hand the agent server information items",
         serverInfoCommand},
        {"keys-get",
         "keys-get [DIR]             fetch rsa.key and backup.key (and save them in DIR)",
         keysGetCommand},
        {"allow-list", "allow-list [IP=KEYFILE]... replace the agent's dynamic allow list",
         allowListCommand},
        {"status",
         "status [COUNT]             read COUNT records (default 1) from the status port\n"
         "        or: status STORE|JOBS [--warn-age=DURATION] [--crit-age=DURATION] [--json]\n"
         "                           per agent and volume the last good point, its age and\n"
         "                           the last failure (exit 0 ok, 1 warning, 2 critical,\n"
         "                           3 unknown: a store or the jobs file cannot be read)",
         statusCommand},
        {"partition-list", "partition-list             list the agent's disks and volumes",
         partitionListCommand},
        {"partition-backup",
         "partition-backup DISK STORE [agent=NAME]\n"
         "                           save a generation of the disk's partition table",
         partitionBackupCommand, 1},
        {"partition-restore",
         "partition-restore DISK STORE [FROM] [agent=NAME] [from-agent=NAME] [point=N]\n"
         "                           write the latest (or generation N) saved partition\n"
         "                           table (of disk FROM) to DISK",
         partitionRestoreCommand, 1},
        {"partition-tables",
         "partition-tables STORE [DISK] [agent=NAME] [--json]\n"
         "                           list the partition-table generations",
         partitionTablesCommand, 0},
        {"restore",
         "restore DEVICE-ID (STORE [agent=NAME] [from-agent=NAME] [point=N] [from=ID]\n"
         "                   | image=FILE block-size=N)\n"
         "        [compression=0|1] [level=N] [encryption=0|1] [key=session|request] [batch=N]\n"
         "        [workers=N] [pack=FILE]\n"
         "                           stream a restore point (default: the latest of the\n"
         "                           volume, or of volume ID) back onto a partition;\n"
         "                           workers: threads packing batches (default one per\n"
         "                           core); pack=FILE: pack the batches into FILE instead\n"
         "                           (with key=request when enciphered)\n"
         "        or: restore DEVICE-ID packed=FILE [agent=NAME] [from-agent=NAME]\n"
         "                           replay the batches packed into FILE (measures the\n"
         "                           agent's side of a restore alone); another agent's\n"
         "                           point only with from-agent=",
         restoreCommand, 1},
        {"backup",
         "backup DEVICE-ID STORE [agent=NAME] [compression=0|1] [level=N] [encryption=0|1]\n"
         "        [checksums=0|1] [sink=1]  (sink=1: check every batch, store nothing)\n"
         "                           back up a volume: a new restore point in STORE",
         backupCommand, 1},
        {"points",
         "points STORE [DEVICE-ID] [agent=NAME] [--json]\n"
         "                           list the restore points (of one volume)",
         pointsCommand, 0},
        {"verify",
         "verify STORE [point=N|all] [agent=NAME] [sample=PERCENT] [--json]\n"
         "                           read and check every chunk of the points (of one\n"
         "                           agent), or a random share of them (exit 6 on damage,\n"
         "                           naming the damaged blocks); damaged chunks are set aside\n"
         "                           in STORE/damaged and the next backup of each volume\n"
         "                           sends them again",
         verifyCommand, 0},
        {"forget",
         "forget STORE [keep-last=N] [keep-hourly=N] [keep-daily=N] [keep-weekly=N]\n"
         "        [keep-monthly=N] [keep-yearly=N] [keep-within=DURATION] [device=ID]...\n"
         "        [--dry-run] [--json]\n"
         "                           forget each agent's volume's points (and disk's\n"
         "                           partition tables) the policy does not keep\n"
         "                           (their files go at the next gc)",
         forgetCommand, 0},
        {"stats",
         "stats STORE [DEVICE-ID] [--json]\n"
         "                           logical and stored bytes, deduplication ratio and\n"
         "                           growth per point",
         statsCommand, 0},
        {"run",
         "run JOBS [agent=NAME]... [--json]\n"
         "                           back up every agent and volume of the jobs file, apply\n"
         "                           retention, record results for status (exit 1 when any\n"
         "                           job failed)",
         runJobsCommand},
        {"gc", "gc STORE                   remove chunks no restore point references", gcCommand,
         0},
        {"rebuild-catalogue",
         "rebuild-catalogue s3://BUCKET/PREFIX\n"
         "                           fetch an object store's catalogue from its bucket into\n"
         "                           the cache folder (a new server machine)",
         rebuildCatalogueCommand, 0},
        {"key",
         "key list STORE | key add STORE [new-password-file=FILE | new-key-file=FILE]\n"
         "        [scrypt-n=N] | key remove STORE ID\n"
         "                           the passphrases and key files that open an encrypted\n"
         "                           store (add and remove need one of them given)",
         keyCommand, 1},
        {"restore-files",
         "restore-files (target=PATH | device=ID) [chunk=BYTES] [keepalives=N] [times=unix]\n"
         "        SOURCE...          restore local folders (or @LIST files: LOCAL[<tab>AS])\n"
         "        or: restore-files STORE DEVICE-ID [agent=NAME] [from-agent=NAME] [point=N]\n"
         "            PATH... [target=PATH | device=ID]\n"
         "                           send files and folders of a restore point (default the\n"
         "                           latest) to the agent, by default to the same paths on\n"
         "                           the volume they came from",
         restoreFilesCommand},
        {"ls",
         "ls STORE DEVICE-ID [agent=NAME] [point=N] [PATH] [-l] [-R] [--json]\n"
         "                           list a folder of a restore point (default the latest)",
         lsCommand, 0},
        {"cat",
         "cat STORE DEVICE-ID [agent=NAME] [point=N] PATH[:STREAM]\n"
         "                           write a file (or alternate data stream) of a restore\n"
         "                           point to standard output",
         catCommand, 0},
        {"extract",
         "extract STORE DEVICE-ID [agent=NAME] [point=N] PATH... DEST\n"
         "                           copy files and folders of a restore point into the\n"
         "                           folder DEST of this machine",
         extractCommand, 0},
        {"mount",
         "mount STORE DEVICE-ID [agent=NAME] [point=N] MOUNTPOINT\n"
         "                           show a restore point as a read-only file system (FUSE)\n"
         "                           until interrupted; unmounted on the way out",
         mountCommand, 0},
    };
    return commands;
}

const std::vector<ExitStatusInfo>& exitStatusTable() {
    static const std::vector<ExitStatusInfo> statuses = {
        {kExitOk, "done (status of a store: every volume's last good point is recent enough)"},
        {kExitFailed,
         "the work failed, the reason is printed (status: a point older than "
         "--warn-age)"},
        {kExitUsage,
         "wrong command line, the command's usage is printed (status: a point older "
         "than --crit-age, or a volume whose last backup failed)"},
        {kExitBusy,
         "backup: the agent is busy with another backup (status: unknown, a store, its "
         "catalogue or the jobs file cannot be read)"},
        {kExitUnreachable, "the agent cannot be reached at --host and --port"},
        {kExitStoreInUse, "another backup-server command is using the store"},
        {kExitDamaged, "verify: damage found in the store"},
    };
    return statuses;
}

std::ostream& CommandContext::messages() const {
    // With --json standard output holds the document alone.
    return json ? std::cerr : *out;
}

std::string CommandContext::agentAddress() const {
    return "the agent at host " + host + ", port " + std::to_string(port);
}

AgentUnreachable CommandContext::unreachable(const net::SocketException& error) const {
    std::string reason = socketReason(error.message());
    if (reason == socketReason(net::SocketException::describe("", platform::kWsaConnectionRefused)))
        reason += " (is the agent running and listening there?)";
    return AgentUnreachable("cannot connect to " + agentAddress() + ": " + reason);
}

void CommandContext::print(const std::string& text, const JsonText& document) const {
    *out << (json ? document.text() : text) << "\n";
}

std::ostream& CommandContext::progressStream() const {
    static std::ostream nowhere(nullptr);
    return quiet ? nowhere : messages();
}

std::unique_ptr<AgentSession> CommandContext::connect() const {
    if (verbose)
        messages() << "connecting to " << agentAddress() << "\n";
    try {
        return AgentSession::connect(host, port, timeoutSeconds);
    } catch (const net::SocketException& error) {
        throw unreachable(error);
    }
}

std::unique_ptr<AgentSession> CommandContext::openSession() const {
    std::unique_ptr<AgentSession> session = connect();
    std::ostream* stream = &messages();
    bool showInfo = !quiet;
    session->onLogRecord([stream, showInfo](const LogRecord& record) {
        if (record.code == net::PROT_LOG_INFO && !showInfo)
            return;
        *stream << "agent " << logRecordLevel(record.code) << ": "
                << withoutSourceLocations(record.text) << "\n";
    });
    session->setOfferedVersion(protocol);
    HandshakeOutcome outcome = session->handshake(keys());
    if (outcome != HandshakeOutcome::authenticated) {
        throw std::runtime_error(
            agentAddress() +
            " turned this server away: its key is not in the "
            "agent's server.allow folder (backup-server public-key prints it)");
    }
    if (!quiet) {
        messages() << "authenticated"
                   << (session->agentInRecoveryMode() ? " (agent in recovery mode)" : "")
                   << ", protocol " << session->protocolVersion() << "\n";
    }
    return session;
}

}  // namespace backup_server
