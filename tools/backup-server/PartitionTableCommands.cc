// partition-backup and partition-restore: a disk's partition information to and from a
// store folder.
#include "backup-server/Command.h"
#include "backup-server/JsonText.h"
#include "backup-server/PartitionStore.h"
#include "backup-server/PartitionTable.h"
#include "backup-server/PartitionTableSummary.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

// "0", "Disk 0" and "disk0" all name disk 0.
std::string diskIDArgument(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)))
            digits.push_back(c);
    }
    if (digits.empty() || digits.size() > 9)
        ZENTRAD_THROW(runtime::AgentException, "Not a disk: " + text);
    return "Disk " + std::to_string(std::stoul(digits));
}

void requireArguments(const CommandContext& context, std::size_t least, std::size_t most) {
    if (context.arguments.size() < least || context.arguments.size() > most) {
        throw UsageError("wrong number of arguments");
    }
}

}  // namespace

int partitionBackupCommand(CommandContext& context) {
    requireArguments(context, 2, 2);
    std::string diskID = diskIDArgument(context.arguments[0]);
    auto session = context.openSession();
    PartitionTableImage image = backupPartitionTable(*session, diskID);
    session->finish();
    savePartitionTable(context.arguments[1], diskID, image);
    std::string file = partitionTableFile(context.arguments[1], diskID).string();
    if (context.json) {
        JsonText json;
        json.beginObject().key("disk").value(diskID).key("file").value(file);
        json.key("sectors").value(std::uint64_t{image.sectors.size()});
        json.key("sector_size").value(std::uint64_t{image.sectorSize}).endObject();
        *context.out << json.text() << "\n";
        return kExitOk;
    }
    *context.out << "partition table of " << diskID << ": " << image.sectors.size()
                 << " sectors of " << image.sectorSize << " bytes saved to " << file << " ("
                 << describePartitionTable(image) << ")\n";
    return kExitOk;
}

int partitionRestoreCommand(CommandContext& context) {
    requireArguments(context, 2, 3);
    std::string diskID = diskIDArgument(context.arguments[0]);
    std::string sourceID =
        context.arguments.size() == 3 ? diskIDArgument(context.arguments[2]) : diskID;
    PartitionTableImage image = loadPartitionTable(context.arguments[1], sourceID);
    auto session = context.openSession();
    restorePartitionTable(*session, diskID, image);
    session->finish();
    if (context.json) {
        JsonText json;
        json.beginObject().key("disk").value(diskID).key("source").value(sourceID);
        json.key("sectors").value(std::uint64_t{image.sectors.size()}).endObject();
        *context.out << json.text() << "\n";
        return kExitOk;
    }
    *context.out << "partition table of " << sourceID << " (" << image.sectors.size()
                 << " sectors) restored to " << diskID << "\n";
    return kExitOk;
}

}  // namespace backup_server
