// gc STORE: removes chunks and files no restore point references.
#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/store/StoreGc.h"

namespace backup_server {

int gcCommand(CommandContext& context) {
    if (context.arguments.size() != 1)
        throw UsageError("gc needs exactly one STORE");
    Store store(context.arguments[0], Store::Access::exclusive, "gc", context.keySource);
    Progress progress(context.progressStream(), !context.json && Progress::outputIsTerminal(),
                      "gc: reading points", "points");
    GcReport report = collectGarbage(store, &progress);
    if (!context.json) {
        *context.out << describeGc(report) << "\n";
        return kExitOk;
    }
    JsonText json;
    json.beginObject()
        .key("points")
        .value(report.points)
        .key("chunks_kept")
        .value(report.chunksKept);
    json.key("bytes_kept")
        .value(report.bytesKept)
        .key("chunks_removed")
        .value(report.chunksRemoved);
    json.key("files_removed")
        .value(report.filesRemoved)
        .key("bytes_freed")
        .value(report.bytesFreed);
    *context.out << json.endObject().text() << "\n";
    return kExitOk;
}

}  // namespace backup_server
