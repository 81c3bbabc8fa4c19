// verify STORE [point=N|all] [sample=PERCENT] [--json]: reads every chunk of the points (or
// a random share of them) and checks it; damaged chunks are set aside.
#include <random>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/store/StoreVerify.h"
#include "runtime/Exceptions.h"

namespace backup_server {

int verifyCommand(CommandContext& context) {
    if (context.arguments.empty() || context.arguments.size() > 3)
        throw UsageError("verify needs a STORE and at most point=N (or all) and sample=PERCENT");
    std::int64_t id = 0;
    VerifyOptions options;
    for (std::size_t i = 1; i < context.arguments.size(); ++i) {
        const std::string& word = context.arguments[i];
        if (std::optional<std::string> value = valueOf(word, "point")) {
            if (*value != "all")
                id = static_cast<std::int64_t>(wholeNumber(word, *value));
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
            ZENTRAD_THROW(runtime::AgentException,
                          "The store holds no restore point " + std::to_string(id));
        points.push_back(*point);
    } else {
        points = store.catalogue().points();
    }
    Progress progress(*context.out, !context.json && Progress::outputIsTerminal(), "verify",
                      "chunks");
    VerifyReport report = verifyPoints(store, points, context.json ? nullptr : &progress, options);
    setAsideDamaged(store, report);
    *context.out << (context.json ? verifyJson(report) : describeVerify(report)) << "\n";
    return report.damaged() ? kExitDamaged : kExitOk;
}

}  // namespace backup_server
