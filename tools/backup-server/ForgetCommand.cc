// forget STORE keep-last=N [keep-daily=N] [keep-weekly=N]: removes the points of every
// agent's volume, and the partition-table generations of every agent's disk, that the
// policy does not keep from the catalogue. Their index files and chunks
// stay until gc, which runs only when no restore or verify is reading: a restore that read
// the catalogue just before forget still finds every file of its point.
#include <map>

#include "backup-server/Command.h"
#include "backup-server/Retention.h"
#include "backup-server/Store.h"
#include "backup-server/StoreArguments.h"

namespace backup_server {
namespace {

RetentionPolicy parsePolicy(const std::vector<std::string>& arguments) {
    RetentionPolicy policy;
    bool last = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (auto value = valueOf(word, "keep-last")) {
            policy.keepLast = static_cast<std::uint32_t>(wholeNumber(word, *value));
            last = true;
        } else if (auto daily = valueOf(word, "keep-daily")) {
            policy.keepDaily = static_cast<std::uint32_t>(wholeNumber(word, *daily));
        } else if (auto weekly = valueOf(word, "keep-weekly")) {
            policy.keepWeekly = static_cast<std::uint32_t>(wholeNumber(word, *weekly));
        } else {
            throw UsageError("unknown forget option: " + word);
        }
    }
    // Forgetting every point of a volume is never what a retention run means.
    if (!last || policy.keepLast == 0)
        throw UsageError("forget needs keep-last=N with N of 1 or more");
    return policy;
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

}  // namespace

int forgetCommand(CommandContext& context) {
    if (context.arguments.size() < 2)
        throw UsageError("forget needs a STORE and keep-last=N");
    RetentionPolicy policy = parsePolicy(context.arguments);
    Store store(context.arguments[0], Store::Access::write, "forget");
    std::vector<PointRecord> points = store.catalogue().points();
    std::set<std::int64_t> forgotten = forgottenOf(points, policy, [](const PointRecord& point) {
        return std::pair(point.agent, point.deviceID);
    });
    std::vector<PartitionTableRecord> tables = store.catalogue().partitionTables();
    std::set<std::int64_t> forgottenTables = forgottenOf(
        tables, policy,
        [](const PartitionTableRecord& table) { return std::pair(table.agent, table.diskID); });
    store.catalogue().removePoints({forgotten.begin(), forgotten.end()});
    store.catalogue().removePartitionTables({forgottenTables.begin(), forgottenTables.end()});
    for (const PointRecord& point : points) {
        if (forgotten.count(point.id) != 0) {
            *context.out << "forgot point " << point.id << " (" << point.agent << ", "
                         << point.deviceID << ", " << utcTime(point.created) << ", " << point.kind
                         << ")\n";
        }
    }
    for (const PartitionTableRecord& table : tables) {
        if (forgottenTables.count(table.id) != 0) {
            *context.out << "forgot partition table " << table.id << " (" << table.agent << ", "
                         << table.diskID << ", " << utcTime(table.created) << ")\n";
        }
    }
    *context.out << "kept " << points.size() - forgotten.size() << " points, forgot "
                 << forgotten.size();
    if (!tables.empty()) {
        *context.out << "; kept " << tables.size() - forgottenTables.size()
                     << " partition tables, forgot " << forgottenTables.size();
    }
    *context.out << "; run gc to free their files\n";
    return kExitOk;
}

}  // namespace backup_server
