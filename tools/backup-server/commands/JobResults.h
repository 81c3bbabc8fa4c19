// The results of backup jobs, kept in the store folder for `status`: STORE/job-results,
// one line per backup that `run` attempted, tab-separated:
//   TIME  AGENT  DEVICE-ID  ok|failed  POINT  REASON
// (TIME in seconds since 1970 UTC; POINT 0 for a failure; tabs and line ends in the
// reason become spaces). Lines are appended whole (O_APPEND), so runs of several agents at
// once never mix their lines; when the file passes 1 MiB it is rewritten keeping the last
// good and the last failed result of every agent and volume.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace backup_server {

struct JobResult {
    std::int64_t time = 0;
    std::string agent;
    std::string deviceID;
    bool ok = false;
    std::int64_t point = 0;
    std::string reason;
};

// The last good and the last failed result of one agent's volume.
struct VolumeResults {
    std::optional<JobResult> lastGood;
    std::optional<JobResult> lastFailure;
};

using ResultsByVolume = std::map<std::pair<std::string, std::string>, VolumeResults>;

std::filesystem::path jobResultsFile(const std::filesystem::path& store);
// Throws std::runtime_error naming the file when it cannot be written.
void recordJobResult(const std::filesystem::path& store, const JobResult& result);
// Keyed by (agent, device ID); an empty map when there is no file. Lines that do not
// parse are skipped.
ResultsByVolume readJobResults(const std::filesystem::path& store);

}  // namespace backup_server
