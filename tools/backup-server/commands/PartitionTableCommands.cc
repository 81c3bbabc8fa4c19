// partition-backup, partition-restore and partition-tables: generations of a disk's
// partition information in a store, per agent and disk.
#include <iomanip>
#include <sstream>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/PartitionTableSummary.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/store/PartitionStore.h"
#include "backup-server/store/PartitionTable.h"
#include "backup-server/store/StoreAgents.h"
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

// The plain words (disks and the store) and the KEY=VALUE words of a command line.
struct Words {
    std::vector<std::string> plain;
    std::optional<std::string> agent;
    std::optional<std::string> fromAgent;
    std::int64_t point = 0;
};

Words parseWords(const std::vector<std::string>& arguments, std::size_t least, std::size_t most,
                 bool restore) {
    Words words;
    for (const std::string& word : arguments) {
        if (auto agent = valueOf(word, "agent"))
            words.agent = *agent;
        else if (auto from = valueOf(word, "from-agent"); from && restore)
            words.fromAgent = *from;
        else if (auto point = valueOf(word, "point"); point && restore)
            words.point = static_cast<std::int64_t>(wholeNumber(word, *point));
        else if (word.find('=') != std::string::npos)
            throw UsageError("unknown option: " + word);
        else
            words.plain.push_back(word);
    }
    if (words.plain.size() < least || words.plain.size() > most)
        throw UsageError("wrong number of arguments");
    return words;
}

std::string tablesJson(const std::vector<PartitionTableRecord>& tables) {
    JsonText json;
    json.beginArray();
    for (const PartitionTableRecord& table : tables) {
        json.beginObject().key("id").value(table.id).key("agent").value(table.agent);
        json.key("disk").value(table.diskID).key("created").value(table.created);
        json.key("time").value(utcTime(table.created) + "Z").endObject();
    }
    json.endArray();
    return json.text();
}

}  // namespace

int partitionBackupCommand(CommandContext& context) {
    Words words = parseWords(context.arguments, 2, 2, false);
    std::string diskID = diskIDArgument(words.plain[0]);
    std::string agent = targetAgent(words.agent, context.host);
    Store store(words.plain[1], Store::Access::write, "partition-backup " + diskID,
                context.keySource);
    auto session = context.openSession();
    admitAgent(store.catalogue(), agent, *session, store.root().string());
    PartitionTableImage image = backupPartitionTable(*session, diskID);
    session->finish();
    PartitionTableRecord table = savePartitionTable(store, agent, diskID, image);
    std::string file = partitionTableFile(store, table).string();
    if (context.json) {
        JsonText json;
        json.beginObject().key("disk").value(diskID).key("agent").value(agent);
        json.key("generation").value(table.id).key("file").value(file);
        json.key("sectors").value(std::uint64_t{image.sectors.size()});
        json.key("sector_size").value(std::uint64_t{image.sectorSize}).endObject();
        *context.out << json.text() << "\n";
        return kExitOk;
    }
    *context.out << "partition table of " << diskID << ": " << image.sectors.size()
                 << " sectors of " << image.sectorSize << " bytes saved as generation " << table.id
                 << " of the agent " << agent << " (" << describePartitionTable(image) << ")\n";
    return kExitOk;
}

int partitionRestoreCommand(CommandContext& context) {
    Words words = parseWords(context.arguments, 2, 3, true);
    std::string diskID = diskIDArgument(words.plain[0]);
    std::string sourceID = words.plain.size() == 3 ? diskIDArgument(words.plain[2]) : diskID;
    std::string target = targetAgent(words.agent, context.host);
    Store store(words.plain[1], Store::Access::read, "partition-restore " + diskID);
    PartitionTableRecord table =
        choosePartitionTable(store, words.fromAgent.value_or(target), sourceID, words.point);
    PartitionTableImage image = loadPartitionTable(store, table);
    auto session = context.openSession();
    checkRestoreTarget(store.catalogue(), target, words.fromAgent.has_value(), *session,
                       store.root().string());
    restorePartitionTable(*session, diskID, image);
    session->finish();
    if (context.json) {
        JsonText json;
        json.beginObject().key("disk").value(diskID).key("source").value(sourceID);
        json.key("agent").value(table.agent).key("generation").value(table.id);
        json.key("sectors").value(std::uint64_t{image.sectors.size()}).endObject();
        *context.out << json.text() << "\n";
        return kExitOk;
    }
    *context.out << "partition table of " << sourceID << " (generation " << table.id
                 << " of the agent " << table.agent << ", " << image.sectors.size()
                 << " sectors) restored to " << diskID << "\n";
    return kExitOk;
}

int partitionTablesCommand(CommandContext& context) {
    Words words = parseWords(context.arguments, 1, 2, false);
    Store store(words.plain[0], Store::Access::look);
    std::optional<std::string> disk;
    if (words.plain.size() == 2)
        disk = diskIDArgument(words.plain[1]);
    std::vector<PartitionTableRecord> tables = listPartitionTables(store, words.agent, disk);
    if (context.json) {
        *context.out << tablesJson(tables) << "\n";
        return kExitOk;
    }
    if (tables.empty()) {
        *context.out << "no partition tables in " << words.plain[0] << "\n";
        return kExitOk;
    }
    *context.out << std::left << std::setw(6) << "table" << std::setw(21) << "time (UTC)"
                 << std::setw(18) << "agent"
                 << "disk\n";
    for (const PartitionTableRecord& table : tables) {
        *context.out << std::left << std::setw(6) << table.id << std::setw(21)
                     << utcTime(table.created) << std::setw(18) << table.agent << table.diskID
                     << "\n";
    }
    return kExitOk;
}

}  // namespace backup_server
