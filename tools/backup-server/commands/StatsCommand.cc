// stats STORE [DEVICE-ID] [--json]: what the store holds and what it costs. Per volume the
// points, their logical bytes (the used bytes a restore of each would write, summed over
// the points), the bytes each point added to the store (its growth) and the ratio of the
// two; for the store the bytes its chunk files take on disk now.
#include <filesystem>
#include <map>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/OperatorText.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/store/Store.h"

namespace backup_server {
namespace {

struct VolumeStats {
    std::uint64_t points = 0;
    std::uint64_t logicalBytes = 0;
    std::uint64_t addedBytes = 0;  // sum of the points' growth
    std::uint64_t lastGrowth = 0;
};

double ratio(std::uint64_t logical, std::uint64_t stored) {
    return stored == 0 ? 0.0 : static_cast<double>(logical) / static_cast<double>(stored);
}

std::uint64_t logicalBytes(const PointRecord& point) {
    return point.usedBlocks * point.geometry.blockSize;
}

// The bytes of the chunks now in the store (after gc, forgotten points' chunks are gone;
// before it they still count).
std::uint64_t chunkBytesOnDisk(objects::BlobStore& objects) {
    std::uint64_t total = 0;
    objects.list("chunks/", [&](const objects::BlobInfo& info) { total += info.size; });
    return total;
}

}  // namespace

int statsCommand(CommandContext& context) {
    if (context.arguments.empty() || context.arguments.size() > 2)
        throw UsageError("stats needs a STORE and at most one DEVICE-ID");
    Store store(context.arguments[0], Store::Access::read, "stats");
    std::vector<PointRecord> points = context.arguments.size() == 2
                                          ? store.catalogue().points(context.arguments[1])
                                          : store.catalogue().points();
    std::map<std::string, VolumeStats> volumes;
    VolumeStats all;
    for (const PointRecord& point : points) {  // oldest first
        for (VolumeStats* stats : {&volumes[point.deviceID], &all}) {
            ++stats->points;
            stats->logicalBytes += logicalBytes(point);
            stats->addedBytes += point.storedBytes;
            stats->lastGrowth = point.storedBytes;
        }
    }
    std::uint64_t onDisk = chunkBytesOnDisk(store.objects());
    if (context.json) {
        JsonText json;
        json.beginObject()
            .key("points")
            .value(all.points)
            .key("logical_bytes")
            .value(all.logicalBytes);
        json.key("stored_bytes")
            .value(onDisk)
            .key("dedup_ratio")
            .value(ratio(all.logicalBytes, onDisk));
        json.key("volumes").beginArray();
        for (const auto& [device, stats] : volumes) {
            json.beginObject().key("device").value(device).key("points").value(stats.points);
            json.key("logical_bytes").value(stats.logicalBytes);
            json.key("added_bytes").value(stats.addedBytes);
            json.key("dedup_ratio").value(ratio(stats.logicalBytes, stats.addedBytes));
            json.key("growth_per_point")
                .value(stats.points == 0 ? 0 : stats.addedBytes / stats.points);
            json.key("last_growth").value(stats.lastGrowth).endObject();
        }
        json.endArray().key("growth").beginArray();
        for (const PointRecord& point : points) {
            json.beginObject().key("point").value(point.id).key("device").value(point.deviceID);
            json.key("created")
                .value(point.created)
                .key("logical_bytes")
                .value(logicalBytes(point));
            json.key("stored_bytes").value(point.storedBytes).endObject();
        }
        *context.out << json.endArray().endObject().text() << "\n";
        return kExitOk;
    }
    std::ostream& out = *context.out;
    char ratioText[32];
    std::snprintf(ratioText, sizeof ratioText, "%.2f", ratio(all.logicalBytes, onDisk));
    out << all.points << " points, " << humanBytes(all.logicalBytes) << " logical, "
        << humanBytes(onDisk) << " stored in chunks, deduplication ratio " << ratioText << "\n";
    for (const auto& [device, stats] : volumes) {
        std::snprintf(ratioText, sizeof ratioText, "%.2f",
                      ratio(stats.logicalBytes, stats.addedBytes));
        out << "  " << device << ": " << stats.points << " points, "
            << humanBytes(stats.logicalBytes) << " logical, " << humanBytes(stats.addedBytes)
            << " added (ratio " << ratioText << "), growth per point "
            << humanBytes(stats.addedBytes / stats.points) << ", last "
            << humanBytes(stats.lastGrowth) << "\n";
    }
    return kExitOk;
}

}  // namespace backup_server
