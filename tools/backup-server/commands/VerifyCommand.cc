// verify STORE [point=N|all] [agent=NAME] [sample=PERCENT] [--json]: reads every chunk of
// the points (of one agent, or a random share of them) and checks it; damaged chunks are set
// aside.
#include <random>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/store/StoreVerify.h"

namespace backup_server {
namespace {

std::string verifyJson(const VerifyReport& report) {
    JsonText json;
    json.beginObject().key("damaged").value(report.damaged());
    json.key("chunks_read").value(report.chunksRead).key("data_bytes").value(report.dataBytes);
    json.key("percent").value(std::uint64_t{report.percent});
    json.key("chunks_set_aside").value(report.chunksSetAside);
    json.key("set_aside_problem").value(report.setAsideNote);
    json.key("points").beginArray();
    for (const auto& verdict : report.points) {
        json.beginObject().key("id").value(verdict.point.id);
        json.key("device").value(verdict.point.deviceID).key("sound").value(verdict.sound());
        json.key("index_problem").value(verdict.indexProblem);
        json.key("damaged_blocks").value(verdict.damagedBlocks).key("chunks").beginArray();
        for (const auto& chunk : verdict.chunks) {
            json.beginObject().key("chunk").value(toHex(chunk.name));
            json.key("problem").value(chunk.problem).key("blocks").beginArray();
            for (std::uint64_t block : chunk.blocks)
                json.value(block);
            json.endArray().endObject();
        }
        json.endArray().endObject();
    }
    json.endArray().endObject();
    return json.text();
}

}  // namespace

int verifyCommand(CommandContext& context) {
    if (context.arguments.empty() || context.arguments.size() > 4)
        throw UsageError(
            "verify needs a STORE and at most point=N (or all), agent=NAME and sample=PERCENT");
    std::int64_t id = 0;
    std::optional<std::string> agent;
    VerifyOptions options;
    for (std::size_t i = 1; i < context.arguments.size(); ++i) {
        const std::string& word = context.arguments[i];
        if (std::optional<std::string> value = valueOf(word, "point")) {
            if (*value != "all")
                id = static_cast<std::int64_t>(wholeNumber(word, *value));
        } else if (std::optional<std::string> name = valueOf(word, "agent")) {
            agent = *name;
        } else if (std::optional<std::string> share = valueOf(word, "sample")) {
            std::uint64_t percent = wholeNumber(word, *share);
            if (percent == 0 || percent > 100)
                throw UsageError("sample= takes a percentage of 1 to 100: " + word);
            options.percent = static_cast<unsigned>(percent);
            options.seed = std::random_device{}() * 0x100000001ull ^ std::random_device{}();
        } else {
            throw UsageError("unknown verify option: " + word);
        }
    }
    Store store(context.arguments[0], Store::Access::read, "verify", context.keySource);
    std::vector<PointRecord> points;
    if (id != 0) {
        std::optional<PointRecord> point = store.catalogue().point(id);
        if (!point)
            ZENTRAD_THROW(StoreError, "The store holds no restore point " + std::to_string(id));
        if (agent && point->agent != *agent) {
            throw UsageError("point " + std::to_string(id) + " is of the agent " + point->agent +
                             ", not " + *agent);
        }
        points.push_back(*point);
    } else {
        points = store.catalogue().points(agent, std::nullopt);
        // A mistyped name must not pass for an agent whose points are all sound.
        if (agent && points.empty() && !store.catalogue().agent(*agent))
            ZENTRAD_THROW(StoreError,
                          "The store " + context.arguments[0] + " has no agent " + *agent);
    }
    Progress progress(*context.out, !context.json && Progress::outputIsTerminal(), "verify",
                      "chunks");
    VerifyReport report = verifyPoints(store, points, context.json ? nullptr : &progress, options);
    setAsideDamaged(store, report);
    *context.out << (context.json ? verifyJson(report) : describeVerify(report)) << "\n";
    return report.damaged() ? kExitDamaged : kExitOk;
}

}  // namespace backup_server
