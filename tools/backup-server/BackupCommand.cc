// backup DEVICE-ID STORE [compression=0|1] [level=N] [encryption=0|1] [checksums=0|1]
//        [sink=1]
#include <map>

#include "backup-server/Progress.h"

#include "backup-server/Command.h"
#include "backup-server/DeviceHints.h"
#include "backup-server/JsonText.h"
#include "backup-server/StoreArguments.h"
#include "backup-server/VolumeBackup.h"
#include "backup-server/VolumeStore.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

BackupOptions parseOptions(const std::vector<std::string>& arguments) {
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
            // agent=NAME: which agent the point belongs to, recorded once stores keep agents
            // apart; the jobs runner passes it already.
        } else {
            throw UsageError("unknown backup option: " + key);
        }
    }
    return options;
}

void printSummary(const CommandContext& context, const BackupSummary& summary,
                  const std::string& deviceID, const std::string& store) {
    if (!context.json) {
        for (const std::string& warning : summary.warnings)
            context.messages() << "warning: " << warning << "\n";
        if (summary.busy)
            *context.out << "the agent is busy with another backup\n";
        else
            *context.out << describeBackup(summary) << "\nstore: " << store << "\n";
        return;
    }
    JsonText json;
    json.beginObject().key("device").value(deviceID).key("busy").value(summary.busy);
    if (!summary.busy) {
        json.key("store").value(store).key("point").value(summary.point);
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
    BackupOptions options = parseOptions(context.arguments);
    std::string store = options.sink ? std::string("none (sink)") : context.arguments[1];
    std::unique_ptr<VolumeStore> volumes;
    if (!options.sink)
        volumes = std::make_unique<VolumeStore>(context.arguments[1], options.deviceID);
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
    if (volumes)
        store = volumes->folder().string();
    printSummary(context, summary, options.deviceID, store);
    return summary.busy ? kExitBusy : kExitOk;
}

}  // namespace backup_server
