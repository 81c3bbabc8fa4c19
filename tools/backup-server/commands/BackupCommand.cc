// backup DEVICE-ID STORE [agent=NAME] [compression=0|1] [level=N] [encryption=0|1]
//        [checksums=0|1] [sink=1]
#include <map>

#include "backup-server/store/Progress.h"

#include "backup-server/commands/Command.h"
#include "backup-server/commands/DeviceHints.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/store/StoreAgents.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/session/VolumeBackup.h"
#include "backup-server/store/VolumeStore.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

BackupOptions parseOptions(const std::vector<std::string>& arguments,
                           std::optional<std::string>& agent) {
    BackupOptions options;
    options.deviceID = arguments[0];
    for (std::size_t i = 2; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        std::string key = word.substr(0, word.find('='));
        if (key == word)
            throw UsageError("expected KEY=VALUE: " + word);
        std::string value = word.substr(key.size() + 1);
        if (key == "compression" || key == "level" || key == "encryption") {
            std::uint32_t setting = *streamSetting(word, key, value);
            (key == "compression" ? options.compressionType
             : key == "level"     ? options.compressionLevel
                                  : options.encryptionType) = setting;
        } else if (key == "checksums") {
            options.checksums = boundedNumber(word, value, 0, 1) != 0;
        } else if (key == "sink") {
            options.sink = boundedNumber(word, value, 0, 1) != 0;
        } else if (key == "agent") {
            agent = value;
        } else {
            throw UsageError("unknown backup option: " + key);
        }
    }
    return options;
}

// volumes is the store the point went to; none for a backup into the sink.
void printSummary(const CommandContext& context, const BackupSummary& summary,
                  const std::string& deviceID, const VolumeStore* volumes) {
    std::string store = volumes ? volumes->folder().string() : std::string("none (sink)");
    if (!context.json) {
        for (const std::string& warning : summary.warnings)
            context.messages() << "warning: " << warning << "\n";
        if (summary.busy)
            *context.out << "the agent is busy with another backup\n";
        else
            *context.out << describeBackup(summary) << "\nstore: " << store
                         << (volumes ? ", agent " + volumes->agent() : std::string()) << "\n";
        return;
    }
    JsonText json;
    json.beginObject().key("device").value(deviceID).key("busy").value(summary.busy);
    if (!summary.busy) {
        json.key("store").value(store).key("point").value(summary.point);
        if (volumes)
            json.key("agent").value(volumes->agent());
        json.key("kind")
            .value(summary.kind)
            .key("block_size")
            .value(std::uint64_t{summary.blockSize});
        json.key("block_count")
            .value(summary.blockCount)
            .key("used_blocks")
            .value(summary.usedBlocks);
        json.key("sent_blocks").value(summary.blocksSent);
        json.key("skipped_blocks").value(summary.skippedBlocks);
        json.key("compressed_blocks").value(summary.compressedBlocks);
        json.key("wire_bytes")
            .value(summary.wireBytes)
            .key("stored_bytes")
            .value(summary.storedBytes);
        json.key("batches")
            .value(summary.batches)
            .key("digests_served")
            .value(summary.digestsServed);
        json.key("keep_alives").value(summary.keepAlives).key("seconds").value(summary.seconds);
    }
    json.key("warnings").beginArray();
    for (const std::string& warning : summary.warnings)
        json.value(warning);
    *context.out << json.endArray().endObject().text() << "\n";
}

}  // namespace

int backupCommand(CommandContext& context) {
    if (context.arguments.size() < 2)
        throw UsageError("backup needs a DEVICE-ID and a STORE");
    std::optional<std::string> agent;
    BackupOptions options = parseOptions(context.arguments, agent);
    options.keys = context.keySource;
    std::unique_ptr<VolumeStore> volumes;
    if (!options.sink) {
        volumes = std::make_unique<VolumeStore>(context.arguments[1], options.deviceID,
                                                targetAgent(agent, context.host));
    }
    Progress progress(context.progressStream(), Progress::outputIsTerminal() && !context.json,
                      "backup", "blocks");
    options.progress = &progress;
    auto session = context.openSession();
    BackupSummary summary;
    try {
        summary = options.sink ? runSinkBackup(*session, options)
                               : runVolumeBackup(*session, *volumes, options);
    } catch (const std::exception&) {
        rethrowWithDeviceHint(context, *session);
    }
    session->finish();
    progress.finish();
    printSummary(context, summary, options.deviceID, volumes.get());
    return summary.busy ? kExitBusy : kExitOk;
}

}  // namespace backup_server
