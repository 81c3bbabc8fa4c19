// The words that choose a restore point for the file commands (ls, cat, extract,
// restore-files from a point):  STORE DEVICE-ID [agent=NAME] [point=N] ...  The point
// defaults to the latest of the agent's volume; the agent to the one agent that has points
// of the volume. Other KEY=VALUE words the command knows are taken out too; the rest are
// paths (a path that looks like KEY=VALUE is written with a leading "/").
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "backup-server/pointfiles/PointFiles.h"
#include "backup-server/pointfiles/PointVolume.h"
#include "backup-server/store/Store.h"

namespace backup_server {

struct PointSelection {
    std::string store;
    std::string deviceID;
    std::optional<std::string> agent;
    std::int64_t point = 0;  // 0: the latest of the volume
    std::map<std::string, std::string> options;
    std::vector<std::string> paths;
};

// Throws UsageError for missing words, a bad number or an unknown KEY=VALUE word.
PointSelection parsePointSelection(const std::vector<std::string>& words,
                                   const std::set<std::string>& optionKeys);

// Whether the words start with a store folder (the point form of restore-files).
bool startsWithStore(const std::vector<std::string>& words);

// A point of a store opened for reading files: the store's read lock, the point's record
// and its NTFS volume, for as long as the object lives.
class OpenPoint {
  public:
    // Throws runtime::AgentException when the store, the point or its volume cannot be
    // opened, UsageError when point=N belongs to another agent or volume or the agent is
    // not named where several have points of the volume.
    OpenPoint(const PointSelection& selection, const std::string& command, const KeySource& keys);

    const PointRecord& record() const { return record_; }
    Catalogue& catalogue() { return store_.catalogue(); }
    PointVolume& volume() { return *volume_; }
    PointFiles& files() { return files_; }

  private:
    Store store_;
    PointRecord record_;
    std::unique_ptr<PointVolume> volume_;
    PointFiles files_;
};

}  // namespace backup_server
