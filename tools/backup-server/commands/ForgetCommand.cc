// forget STORE RULE... [device=ID]... [agent=NAME]... [--dry-run]: removes from the catalogue
// the points of every agent's volume (or of the volumes and agents named), and the
// partition-table generations of every agent's disk, that no rule keeps. Their index files
// and chunks stay until gc, which runs only when no restore or verify is reading: a restore
// that read the catalogue just before forget still finds every file of its point.
#include <map>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/store/Retention.h"
#include "backup-server/store/Store.h"

namespace backup_server {
namespace {

struct ForgetArguments {
    RetentionPolicy policy;
    std::set<std::string> devices;  // empty: every volume (and every disk's tables)
    std::set<std::string> agents;   // empty: every agent

    bool chooses(const std::string& agent) const {
        return agents.empty() || agents.count(agent) != 0;
    }
};

ForgetArguments parseArguments(const std::vector<std::string>& arguments) {
    ForgetArguments parsed;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (setRetentionRule(parsed.policy, word))
            continue;
        if (auto device = valueOf(word, "device"))
            parsed.devices.insert(*device);
        else if (auto agent = valueOf(word, "agent"))
            parsed.agents.insert(*agent);
        else
            throw UsageError("unknown forget option: " + word);
    }
    // Forgetting every point of a volume is never what a retention run means.
    if (!parsed.policy.keepsAny())
        throw UsageError("forget needs a keep rule above zero (keep-last=N, keep-daily=N, ...)");
    return parsed;
}

// The ids the policy does not keep, applied to each group (agent and volume or disk) alone.
template <typename Record, typename GroupOf>
std::set<std::int64_t> forgottenOf(const std::vector<Record>& records,
                                   const RetentionPolicy& policy, GroupOf groupOf) {
    std::map<std::pair<std::string, std::string>, std::vector<DatedPoint>> groups;
    for (const Record& record : records)
        groups[groupOf(record)].push_back({record.id, record.created});
    std::set<std::int64_t> forgotten;
    for (const auto& [group, dated] : groups) {
        std::set<std::int64_t> keep = pointsKept(dated, policy);
        for (const DatedPoint& point : dated) {
            if (keep.count(point.id) == 0)
                forgotten.insert(point.id);
        }
    }
    return forgotten;
}

struct ForgetPlan {
    std::vector<PointRecord> points;  // the points considered
    std::set<std::int64_t> forgotten;
    std::vector<PartitionTableRecord> tables;  // the generations considered
    std::set<std::int64_t> forgottenTables;
};

void printResult(const CommandContext& context, const ForgetPlan& plan) {
    const char* verb = context.dryRun ? "would forget" : "forgot";
    if (!context.json) {
        for (const PointRecord& point : plan.points) {
            if (plan.forgotten.count(point.id) != 0) {
                *context.out << verb << " point " << point.id << " (" << point.agent << ", "
                             << point.deviceID << ", " << utcTime(point.created) << ", "
                             << point.kind << ")\n";
            }
        }
        for (const PartitionTableRecord& table : plan.tables) {
            if (plan.forgottenTables.count(table.id) != 0) {
                *context.out << verb << " partition table " << table.id << " (" << table.agent
                             << ", " << table.diskID << ", " << utcTime(table.created) << ")\n";
            }
        }
        *context.out << (context.dryRun ? "would keep " : "kept ")
                     << plan.points.size() - plan.forgotten.size() << " points, " << verb << " "
                     << plan.forgotten.size();
        if (!plan.tables.empty()) {
            *context.out << "; " << (context.dryRun ? "would keep " : "kept ")
                         << plan.tables.size() - plan.forgottenTables.size()
                         << " partition tables, " << verb << " " << plan.forgottenTables.size();
        }
        *context.out << (context.dryRun ? " (dry run: nothing changed)\n"
                                        : "; run gc to free their files\n");
        return;
    }
    JsonText json;
    json.beginObject().key("dry_run").value(context.dryRun).key("kept").beginArray();
    for (const PointRecord& point : plan.points) {
        if (plan.forgotten.count(point.id) == 0)
            json.value(point.id);
    }
    json.endArray().key("forgotten").beginArray();
    for (const PointRecord& point : plan.points) {
        if (plan.forgotten.count(point.id) == 0)
            continue;
        json.beginObject().key("point").value(point.id).key("agent").value(point.agent);
        json.key("device").value(point.deviceID);
        json.key("created").value(point.created).key("kind").value(point.kind).endObject();
    }
    json.endArray().key("forgotten_partition_tables").beginArray();
    for (const PartitionTableRecord& table : plan.tables) {
        if (plan.forgottenTables.count(table.id) == 0)
            continue;
        json.beginObject().key("generation").value(table.id).key("agent").value(table.agent);
        json.key("disk").value(table.diskID).key("created").value(table.created).endObject();
    }
    *context.out << json.endArray().endObject().text() << "\n";
}

}  // namespace

int forgetCommand(CommandContext& context) {
    if (context.arguments.size() < 2)
        throw UsageError("forget needs a STORE and a keep rule");
    ForgetArguments arguments = parseArguments(context.arguments);
    Store store(context.arguments[0], context.dryRun ? Store::Access::read : Store::Access::write,
                "forget", context.keySource);
    ForgetPlan plan;
    for (const PointRecord& point : store.catalogue().points()) {
        if (arguments.chooses(point.agent) &&
            (arguments.devices.empty() || arguments.devices.count(point.deviceID) != 0))
            plan.points.push_back(point);
    }
    plan.forgotten = forgottenOf(plan.points, arguments.policy, [](const PointRecord& point) {
        return std::pair(point.agent, point.deviceID);
    });
    // device=ID names volumes: a run limited to some volumes leaves the disks' tables alone.
    if (arguments.devices.empty()) {
        for (const PartitionTableRecord& table : store.catalogue().partitionTables()) {
            if (arguments.chooses(table.agent))
                plan.tables.push_back(table);
        }
    }
    plan.forgottenTables = forgottenOf(
        plan.tables, arguments.policy,
        [](const PartitionTableRecord& table) { return std::pair(table.agent, table.diskID); });
    if (!context.dryRun) {
        store.catalogue().removePoints({plan.forgotten.begin(), plan.forgotten.end()});
        store.catalogue().removePartitionTables(
            {plan.forgottenTables.begin(), plan.forgottenTables.end()});
    }
    printResult(context, plan);
    return kExitOk;
}

}  // namespace backup_server
