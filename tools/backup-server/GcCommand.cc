// gc STORE: removes chunks and files no restore point references.
#include "backup-server/Command.h"
#include "backup-server/StoreGc.h"

namespace backup_server {

int gcCommand(CommandContext& context) {
    if (context.arguments.size() != 1)
        throw UsageError("gc needs exactly one STORE");
    Store store(context.arguments[0], Store::Access::exclusive, "gc", context.keySource);
    Progress progress(*context.out, Progress::outputIsTerminal(), "gc: reading points", "points");
    GcReport report = collectGarbage(store, &progress);
    *context.out << describeGc(report) << "\n";
    return kExitOk;
}

}  // namespace backup_server
