#include "backup-server/Command.h"

#include "net/SocketException.h"
#include "runtime/Exceptions.h"

namespace backup_server {

const std::vector<CommandInfo>& commandTable() {
    static const std::vector<CommandInfo> commands = {
        {"init-keys",
         "init-keys                  make this server's key pair in the --keys folder and\n"
         "                           print its public key (for an allow directory)",
         initKeysCommand},
        {"init", "init STORE                 make a new store of restore points (folder 0700)",
         initCommand},
        {"trust",
         "trust STORE agent=NAME     pin NAME to the key of the agent at --host (accepts a\n"
         "                           reinstalled agent's new key)",
         trustCommand},
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
        {"status", "status [COUNT]             read COUNT records (default 1) from the status port",
         statusCommand},
        {"partition-list", "partition-list             list the agent's disks and volumes",
         partitionListCommand},
        {"partition-backup",
         "partition-backup DISK STORE [agent=NAME]\n"
         "                           save a generation of the disk's partition table",
         partitionBackupCommand},
        {"partition-restore",
         "partition-restore DISK STORE [FROM] [agent=NAME] [from-agent=NAME] [point=N]\n"
         "                           write the latest (or generation N) saved partition\n"
         "                           table (of disk FROM) to DISK",
         partitionRestoreCommand},
        {"partition-tables",
         "partition-tables STORE [DISK] [agent=NAME] [--json]\n"
         "                           list the partition-table generations",
         partitionTablesCommand},
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
         "        or: restore DEVICE-ID packed=FILE\n"
         "                           replay the batches packed into FILE (measures the\n"
         "                           agent's side of a restore alone)",
         restoreCommand},
        {"backup",
         "backup DEVICE-ID STORE [agent=NAME] [compression=0|1] [level=N] [encryption=0|1]\n"
         "        [checksums=0|1] [sink=1]  (sink=1: check every batch, store nothing)\n"
         "                           back up a volume: a new restore point in STORE",
         backupCommand},
        {"points",
         "points STORE [DEVICE-ID] [agent=NAME] [--json]\n"
         "                           list the restore points (of one volume)",
         pointsCommand},
        {"verify",
         "verify STORE [point=N|all] [sample=PERCENT] [--json]\n"
         "                           read and check every chunk of the points, or a random\n"
         "                           share of them (exit 6 on damage, naming the damaged\n"
         "                           blocks); damaged chunks are set aside in STORE/damaged\n"
         "                           and the next backup of each volume sends them again",
         verifyCommand},
        {"forget",
         "forget STORE keep-last=N [keep-daily=N] [keep-weekly=N]\n"
         "                           forget each agent's volume's points (and disk's\n"
         "                           partition tables) the policy does not keep\n"
         "                           (their files go at the next gc)",
         forgetCommand},
        {"gc", "gc STORE                   remove chunks no restore point references", gcCommand},
        {"key",
         "key list STORE | key add STORE [new-password-file=FILE | new-key-file=FILE]\n"
         "        [scrypt-n=N] | key remove STORE ID\n"
         "                           the passphrases and key files that open an encrypted\n"
         "                           store (add and remove need one of them given)",
         keyCommand},
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
         lsCommand},
        {"cat",
         "cat STORE DEVICE-ID [agent=NAME] [point=N] PATH[:STREAM]\n"
         "                           write a file (or alternate data stream) of a restore\n"
         "                           point to standard output",
         catCommand},
        {"extract",
         "extract STORE DEVICE-ID [agent=NAME] [point=N] PATH... DEST\n"
         "                           copy files and folders of a restore point into the\n"
         "                           folder DEST of this machine",
         extractCommand},
        {"mount",
         "mount STORE DEVICE-ID [agent=NAME] [point=N] MOUNTPOINT\n"
         "                           show a restore point as a read-only file system (FUSE)\n"
         "                           until interrupted; unmounted on the way out",
         mountCommand},
    };
    return commands;
}

std::unique_ptr<AgentSession> CommandContext::openSession() const {
    std::unique_ptr<AgentSession> session;
    try {
        session = AgentSession::connect(host, port);
    } catch (const net::SocketException& error) {
        std::string reason = error.message();
        if (reason.find("refused") != std::string::npos)
            reason = "the connection was refused (is the agent running and listening there?)";
        throw AgentUnreachable("cannot connect to the agent at host " + host + ", port " +
                               std::to_string(port) + ": " + reason);
    }
    std::ostream* stream = out;
    session->onLogRecord([stream](const LogRecord& record) {
        *stream << "agent " << logRecordLevel(record.code) << ": " << record.text << "\n";
    });
    session->setOfferedVersion(protocol);
    HandshakeOutcome outcome = session->handshake(keys());
    if (outcome != HandshakeOutcome::authenticated) {
        ZENTRAD_THROW(runtime::AgentException, "The agent turned this server away");
    }
    *out << "authenticated" << (session->agentInRecoveryMode() ? " (agent in recovery mode)" : "")
         << ", protocol " << session->protocolVersion() << "\n";
    return session;
}

}  // namespace backup_server
