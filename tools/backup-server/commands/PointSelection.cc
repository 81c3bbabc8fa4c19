#include "backup-server/commands/PointSelection.h"
#include "backup-server/store/StoreLocation.h"

#include <filesystem>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/DeviceHints.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/store/StoreAgents.h"
#include "runtime/Exceptions.h"

namespace backup_server {

PointSelection parsePointSelection(const std::vector<std::string>& words,
                                   const std::set<std::string>& optionKeys) {
    if (words.size() < 2)
        throw UsageError("name a STORE and a DEVICE-ID");
    PointSelection selection;
    selection.store = words[0];
    selection.deviceID = words[1];
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string& word = words[i];
        std::size_t equals = word.find('=');
        std::string key = equals == std::string::npos ? "" : word.substr(0, equals);
        if (key == "point") {
            selection.point = static_cast<std::int64_t>(wholeNumber(word, word.substr(6)));
            if (selection.point == 0)
                throw UsageError("points are numbered from 1: " + word);
        } else if (key == "agent") {
            selection.agent = word.substr(equals + 1);
        } else if (!key.empty() && optionKeys.count(key) != 0) {
            selection.options[key] = word.substr(equals + 1);
        } else if (!key.empty() && key.find_first_of("/\\") == std::string::npos) {
            throw UsageError("unknown option " + word +
                             " (a path that holds \"=\" starts with \"/\")");
        } else {
            selection.paths.push_back(word);
        }
    }
    return selection;
}

bool startsWithStore(const std::vector<std::string>& words) {
    std::error_code ignored;
    return !words.empty() && words[0].find('=') == std::string::npos &&
           (isObjectStoreName(words[0]) ||
            std::filesystem::is_regular_file(std::filesystem::path(words[0]) / "catalogue.db",
                                             ignored));
}

namespace {

PointRecord choosePoint(Store& store, const PointSelection& selection) {
    std::string agent = selection.point != 0 && !selection.agent
                            ? std::string()
                            : chooseAgent(store.catalogue(), selection.agent, selection.deviceID);
    std::optional<PointRecord> point = selection.point != 0
                                           ? store.catalogue().point(selection.point)
                                           : store.catalogue().latest(agent, selection.deviceID);
    if (!point) {
        ZENTRAD_THROW(runtime::AgentException,
                      selection.point != 0
                          ? "The store holds no restore point " + std::to_string(selection.point)
                          : "The store holds no restore point of " + selection.deviceID +
                                " of the agent " + agent + storeDevicesHint(store));
    }
    if (point->deviceID != selection.deviceID || (!agent.empty() && point->agent != agent)) {
        throw UsageError("point " + std::to_string(point->id) + " is of " + point->deviceID +
                         " of the agent " + point->agent + ", not of " + selection.deviceID +
                         (agent.empty() ? "" : " of the agent " + agent));
    }
    return *point;
}

}  // namespace

OpenPoint::OpenPoint(const PointSelection& selection, const std::string& command,
                     const KeySource& keys)
    : store_(selection.store, Store::Access::read, command + " " + selection.deviceID, keys),
      record_(choosePoint(store_, selection)),
      volume_(std::make_unique<PointVolume>(store_, record_)),
      files_(*volume_) {}

}  // namespace backup_server
