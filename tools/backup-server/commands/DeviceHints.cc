#include "backup-server/commands/DeviceHints.h"

#include "backup-server/commands/OperatorText.h"
#include "backup-server/commands/PartitionList.h"

namespace backup_server {
namespace {

// Whether an error of the agent says that it has no volume of the ID asked for.
bool isUnknownDevice(const std::string& agentError) {
    return agentError.find("Unable to find mounted logical disk") != std::string::npos ||
           agentError.find("Could not find Disk ") != std::string::npos;  // a restore's
}

}  // namespace

std::string agentDevicesHint(const CommandContext& context) {
    CommandContext quiet = context;
    quiet.quiet = true;
    quiet.verbose = false;
    std::string names;
    try {
        auto session = quiet.openSession();
        for (const PartitionListItem& item : requestPartitionList(*session)) {
            if (item.isContainer)
                continue;
            names += (names.empty() ? "" : ", ") + item.name;
            if (!item.drivePath.empty())
                names += " (" + item.drivePath + ")";
        }
        session->finish();
    } catch (const std::exception&) {
        return "";  // the hint is a courtesy; the error itself is what counts
    }
    return names.empty() ? " (the agent lists no volumes)"
                         : " (the agent's volumes: " + names + ")";
}

void rethrowWithDeviceHint(const CommandContext& context, const AgentSession& session) {
    for (const LogRecord& record : session.logRecords()) {
        if (isUnknownDevice(record.text)) {
            throw std::runtime_error(withoutSourceLocations(record.text) +
                                     agentDevicesHint(context));
        }
    }
    throw;
}

std::string storeDevicesHint(Store& store) {
    return storeDevicesHint(store.catalogue());
}

}  // namespace backup_server
