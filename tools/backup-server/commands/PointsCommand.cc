// points STORE [DEVICE-ID] [agent=NAME] [--json]: the restore points of a store, oldest
// first, with the agent each came from.
#include <algorithm>
#include <iomanip>
#include <sstream>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/OperatorText.h"
#include "backup-server/store/Store.h"
#include "backup-server/commands/StoreArguments.h"

namespace backup_server {
namespace {

std::string pointsJson(const std::vector<PointRecord>& points) {
    JsonText json;
    json.beginArray();
    for (const PointRecord& point : points) {
        json.beginObject().key("id").value(point.id).key("agent").value(point.agent);
        json.key("device").value(point.deviceID);
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
    std::size_t agentWidth = 6;
    for (const PointRecord& point : points)
        agentWidth = std::max(agentWidth, point.agent.size() + 2);
    text << std::left << std::setw(6) << "point" << std::setw(21) << "time (UTC)"
         << std::setw(static_cast<int>(agentWidth)) << "agent" << std::setw(22) << "device"
         << std::setw(17) << "kind" << std::right << std::setw(12) << "used blocks" << std::setw(12)
         << "sent blocks" << std::setw(14) << "stored" << std::setw(10) << "seconds"
         << "\n";
    for (const PointRecord& point : points) {
        text << std::left << std::setw(6) << point.id << std::setw(21) << utcTime(point.created)
             << std::setw(static_cast<int>(agentWidth)) << point.agent << std::setw(22)
             << point.deviceID << std::setw(17) << point.kind << std::right << std::setw(12)
             << point.usedBlocks << std::setw(12) << point.sentBlocks << std::setw(14)
             << humanBytes(point.storedBytes) << std::setw(10) << std::fixed
             << std::setprecision(1) << point.seconds << "\n";
    }
    return text.str();
}

}  // namespace

int pointsCommand(CommandContext& context) {
    if (context.arguments.empty())
        throw UsageError("points needs a STORE");
    std::optional<std::string> agent;
    std::optional<std::string> device;
    for (std::size_t i = 1; i < context.arguments.size(); ++i) {
        const std::string& word = context.arguments[i];
        if (auto name = valueOf(word, "agent"))
            agent = *name;
        else if (!device && word.find('=') == std::string::npos)
            device = word;
        else
            throw UsageError("points takes at most one DEVICE-ID and agent=NAME: " + word);
    }
    Store store(context.arguments[0], Store::Access::look);
    std::vector<PointRecord> points = store.catalogue().points(agent, device);
    if (context.json)
        *context.out << pointsJson(points) << "\n";
    else if (points.empty())
        *context.out << "no restore points in " << context.arguments[0] << "\n";
    else
        *context.out << pointsTable(points);
    return kExitOk;
}

}  // namespace backup_server
