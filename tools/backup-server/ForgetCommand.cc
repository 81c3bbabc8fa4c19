// forget STORE RULE... [device=ID]... [--dry-run]: removes from the catalogue the points of
// every volume (or of the volumes named) that no rule keeps. Their index files and chunks
// stay until gc, which runs only when no restore or verify is reading: a restore that read
// the catalogue just before forget still finds every file of its point.
#include <map>

#include "backup-server/Command.h"
#include "backup-server/JsonText.h"
#include "backup-server/Retention.h"
#include "backup-server/Store.h"
#include "backup-server/StoreArguments.h"

namespace backup_server {
namespace {

struct ForgetArguments {
    RetentionPolicy policy;
    std::set<std::string> devices;  // empty: every volume
};

ForgetArguments parseArguments(const std::vector<std::string>& arguments) {
    ForgetArguments parsed;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (setRetentionRule(parsed.policy, word))
            continue;
        if (auto device = valueOf(word, "device"))
            parsed.devices.insert(*device);
        else if (valueOf(word, "agent"))
            throw UsageError(
                "agent=NAME chooses among agents once a store keeps several apart; "
                "this store keeps one agent's points");
        else
            throw UsageError("unknown forget option: " + word);
    }
    // Forgetting every point of a volume is never what a retention run means.
    if (!parsed.policy.keepsAny())
        throw UsageError("forget needs a keep rule above zero (keep-last=N, keep-daily=N, ...)");
    return parsed;
}

void printResult(const CommandContext& context, const std::vector<PointRecord>& points,
                 const std::set<std::int64_t>& kept, std::size_t forgotten) {
    const char* verb = context.dryRun ? "would forget" : "forgot";
    if (!context.json) {
        for (const PointRecord& point : points) {
            if (kept.count(point.id) == 0) {
                *context.out << verb << " point " << point.id << " (" << point.deviceID << ", "
                             << utcTime(point.created) << ", " << point.kind << ")\n";
            }
        }
        *context.out << (context.dryRun ? "would keep " : "kept ") << kept.size() << " points, "
                     << verb << " " << forgotten
                     << (context.dryRun ? " (dry run: nothing changed)\n"
                                        : "; run gc to free their indexes and chunks\n");
        return;
    }
    JsonText json;
    json.beginObject().key("dry_run").value(context.dryRun).key("kept").beginArray();
    for (std::int64_t id : kept)
        json.value(id);
    json.endArray().key("forgotten").beginArray();
    for (const PointRecord& point : points) {
        if (kept.count(point.id) != 0)
            continue;
        json.beginObject().key("point").value(point.id).key("device").value(point.deviceID);
        json.key("created").value(point.created).key("kind").value(point.kind).endObject();
    }
    *context.out << json.endArray().endObject().text() << "\n";
}

}  // namespace

int forgetCommand(CommandContext& context) {
    if (context.arguments.size() < 2)
        throw UsageError("forget needs a STORE and a keep rule");
    ForgetArguments arguments = parseArguments(context.arguments);
    Store store(context.arguments[0], context.dryRun ? Store::Access::read : Store::Access::write,
                "forget");
    std::map<std::string, std::vector<DatedPoint>> byVolume;
    std::vector<PointRecord> points;
    for (const PointRecord& point : store.catalogue().points()) {
        if (!arguments.devices.empty() && arguments.devices.count(point.deviceID) == 0)
            continue;
        points.push_back(point);
        byVolume[point.deviceID].push_back({point.id, point.created});
    }
    std::set<std::int64_t> kept;
    for (const auto& [device, dated] : byVolume) {
        std::set<std::int64_t> keep = pointsKept(dated, arguments.policy);
        kept.insert(keep.begin(), keep.end());
    }
    std::vector<std::int64_t> forgotten;
    for (const PointRecord& point : points) {
        if (kept.count(point.id) == 0)
            forgotten.push_back(point.id);
    }
    if (!context.dryRun)
        store.catalogue().removePoints(forgotten);
    printResult(context, points, kept, forgotten.size());
    return kExitOk;
}

}  // namespace backup_server
