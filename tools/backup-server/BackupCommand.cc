// backup DEVICE-ID STORE [agent=NAME] [compression=0|1] [level=N] [encryption=0|1]
//        [checksums=0|1] [sink=1]
#include <map>

#include "backup-server/Progress.h"

#include "backup-server/Command.h"
#include "backup-server/StoreAgents.h"
#include "backup-server/VolumeBackup.h"
#include "backup-server/VolumeStore.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

std::uint32_t optionValue(const std::string& word, const std::string& key) {
    std::string value = word.substr(key.size() + 1);
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError("not a number: " + word);
    return static_cast<std::uint32_t>(std::stoul(value));
}

BackupOptions parseOptions(const std::vector<std::string>& arguments,
                           std::optional<std::string>& agent) {
    BackupOptions options;
    options.deviceID = arguments[0];
    for (std::size_t i = 2; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        std::string key = word.substr(0, word.find('='));
        if (key == word)
            throw UsageError("expected KEY=VALUE: " + word);
        if (key == "agent")
            agent = word.substr(key.size() + 1);
        else if (key == "compression")
            options.compressionType = optionValue(word, key);
        else if (key == "level")
            options.compressionLevel = optionValue(word, key);
        else if (key == "encryption")
            options.encryptionType = optionValue(word, key);
        else if (key == "checksums")
            options.checksums = optionValue(word, key) != 0;
        else if (key == "sink")
            options.sink = optionValue(word, key) != 0;
        else
            throw UsageError("unknown backup option: " + key);
    }
    return options;
}

}  // namespace

int backupCommand(CommandContext& context) {
    if (context.arguments.size() < 2)
        throw UsageError("backup needs a DEVICE-ID and a STORE");
    std::optional<std::string> agent;
    BackupOptions options = parseOptions(context.arguments, agent);
    options.keys = context.keySource;
    if (options.sink) {
        auto session = context.openSession();
        BackupSummary summary = runSinkBackup(*session, options);
        session->finish();
        if (summary.busy) {
            *context.out << "the agent is busy with another backup\n";
            return 3;
        }
        *context.out << describeBackup(summary) << "\nstore: none (sink)\n";
        return 0;
    }
    VolumeStore store(context.arguments[1], options.deviceID, targetAgent(agent, context.host));
    Progress progress(*context.out, Progress::outputIsTerminal(), "backup", "blocks");
    options.progress = &progress;
    auto session = context.openSession();
    BackupSummary summary = runVolumeBackup(*session, store, options);
    session->finish();
    progress.finish();
    for (const std::string& warning : summary.warnings)
        *context.out << "warning: " << warning << "\n";
    if (summary.busy) {
        *context.out << "the agent is busy with another backup\n";
        return kExitBusy;
    }
    *context.out << describeBackup(summary) << "\nstore: " << store.folder().string() << ", agent "
                 << store.agent() << "\n";
    return kExitOk;
}

}  // namespace backup_server
