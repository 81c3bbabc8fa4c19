// points STORE [DEVICE-ID] [--json]: the restore points of a store, oldest first.
#include <iomanip>
#include <sstream>

#include "backup-server/Command.h"
#include "backup-server/JsonText.h"
#include "backup-server/OperatorText.h"
#include "backup-server/Store.h"
#include "backup-server/StoreArguments.h"

namespace backup_server {
namespace {

std::string pointsJson(const std::vector<PointRecord>& points) {
    JsonText json;
    json.beginArray();
    for (const PointRecord& point : points) {
        json.beginObject().key("id").value(point.id).key("device").value(point.deviceID);
        json.key("created").value(point.created).key("time").value(utcTime(point.created) + "Z");
        json.key("kind")
            .value(point.kind)
            .key("block_size")
            .value(std::uint64_t{point.geometry.blockSize});
        json.key("block_count").value(point.geometry.blockCount);
        json.key("used_blocks").value(point.usedBlocks).key("sent_blocks").value(point.sentBlocks);
        json.key("wire_bytes").value(point.wireBytes).key("stored_bytes").value(point.storedBytes);
        json.key("seconds").value(point.seconds);
        json.key("protocol").value(std::uint64_t{point.protocol}).endObject();
    }
    json.endArray();
    return json.text();
}

std::string pointsTable(const std::vector<PointRecord>& points) {
    std::ostringstream text;
    text << std::left << std::setw(6) << "point" << std::setw(21) << "time (UTC)" << std::setw(22)
         << "device" << std::setw(17) << "kind" << std::right << std::setw(12) << "used blocks"
         << std::setw(12) << "sent blocks" << std::setw(14) << "stored" << std::setw(10)
         << "seconds"
         << "\n";
    for (const PointRecord& point : points) {
        text << std::left << std::setw(6) << point.id << std::setw(21) << utcTime(point.created)
             << std::setw(22) << point.deviceID << std::setw(17) << point.kind << std::right
             << std::setw(12) << point.usedBlocks << std::setw(12) << point.sentBlocks
             << std::setw(14) << humanBytes(point.storedBytes) << std::setw(10) << std::fixed
             << std::setprecision(1) << point.seconds << "\n";
    }
    return text.str();
}

}  // namespace

int pointsCommand(CommandContext& context) {
    if (context.arguments.empty() || context.arguments.size() > 2)
        throw UsageError("points needs a STORE and at most one DEVICE-ID");
    Store store(context.arguments[0], Store::Access::look);
    std::vector<PointRecord> points;
    if (store.exists()) {
        points = context.arguments.size() == 2 ? store.catalogue().points(context.arguments[1])
                                               : store.catalogue().points();
    }
    if (context.json)
        *context.out << pointsJson(points) << "\n";
    else if (points.empty())
        *context.out << "no restore points in " << context.arguments[0] << "\n";
    else
        *context.out << pointsTable(points);
    return kExitOk;
}

}  // namespace backup_server
