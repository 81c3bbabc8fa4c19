// forget STORE keep-last=N [keep-daily=N] [keep-weekly=N]: removes the points of every
// volume that the policy does not keep from the catalogue. Their index files and chunks
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

}  // namespace

int forgetCommand(CommandContext& context) {
    if (context.arguments.size() < 2)
        throw UsageError("forget needs a STORE and keep-last=N");
    RetentionPolicy policy = parsePolicy(context.arguments);
    Store store(context.arguments[0], Store::Access::write, "forget");
    std::map<std::string, std::vector<DatedPoint>> byVolume;
    std::vector<PointRecord> points = store.catalogue().points();
    for (const PointRecord& point : points)
        byVolume[point.deviceID].push_back({point.id, point.created});
    std::set<std::int64_t> kept;
    for (const auto& [device, dated] : byVolume) {
        std::set<std::int64_t> keep = pointsKept(dated, policy);
        kept.insert(keep.begin(), keep.end());
    }
    std::vector<std::int64_t> forgotten;
    for (const PointRecord& point : points) {
        if (kept.count(point.id) == 0)
            forgotten.push_back(point.id);
    }
    store.catalogue().removePoints(forgotten);
    for (const PointRecord& point : points) {
        if (kept.count(point.id) != 0)
            continue;
        *context.out << "forgot point " << point.id << " (" << point.deviceID << ", "
                     << utcTime(point.created) << ", " << point.kind << ")\n";
    }
    *context.out << "kept " << kept.size() << " points, forgot " << forgotten.size()
                 << "; run gc to free their indexes and chunks\n";
    return kExitOk;
}

}  // namespace backup_server
