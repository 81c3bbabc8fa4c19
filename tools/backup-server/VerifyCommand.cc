// verify STORE [point=N|all] [--json]: reads every chunk of the points and checks it.
#include "backup-server/Command.h"
#include "backup-server/StoreArguments.h"
#include "backup-server/StoreVerify.h"
#include "runtime/Exceptions.h"

namespace backup_server {

int verifyCommand(CommandContext& context) {
    if (context.arguments.empty() || context.arguments.size() > 2)
        throw UsageError("verify needs a STORE and at most point=N or point=all");
    std::int64_t id = 0;
    if (context.arguments.size() == 2) {
        std::optional<std::string> value = valueOf(context.arguments[1], "point");
        if (!value)
            throw UsageError("unknown verify option: " + context.arguments[1]);
        if (*value != "all")
            id = static_cast<std::int64_t>(wholeNumber(context.arguments[1], *value));
    }
    Store store(context.arguments[0], Store::Access::read, "verify");
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
    VerifyReport report = verifyPoints(store, points, context.json ? nullptr : &progress);
    *context.out << (context.json ? verifyJson(report) : describeVerify(report)) << "\n";
    return report.damaged() ? kExitDamaged : kExitOk;
}

}  // namespace backup_server
