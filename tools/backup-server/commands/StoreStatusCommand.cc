// status STORE|JOBS [--warn-age=DURATION] [--crit-age=DURATION] [--json]: for monitoring,
// per agent and volume the last good point and its age and the last failure with its
// reason, from the catalogue and the results `run` records (JobResults.h). Given a jobs
// file, the volumes its jobs name are listed even when they never had a good backup.
// Exit status: 0 when every volume is fine, 1 (warning) when a last good point is older
// than --warn-age or a failure came after it, 2 (critical) when one is older than
// --crit-age or a volume has no good point at all, 3 (unknown) when a store, its catalogue,
// its results or the jobs file cannot be read (a critical volume elsewhere still makes it
// 2: what is known to be wrong is not hidden behind what could not be looked at).
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JobResults.h"
#include "backup-server/commands/JobsFile.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/OperatorText.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/store/Store.h"

namespace backup_server {
namespace {

// The exit statuses monitoring systems expect.
enum Severity { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };

const char* severityName(Severity severity) {
    switch (severity) {
        case kOk:
            return "ok";
        case kWarning:
            return "warning";
        case kCritical:
            return "critical";
        case kUnknown:
            break;
    }
    return "unknown";
}

// Worse first: critical, unknown, warning, ok.
int rank(Severity severity) {
    return severity == kCritical ? 3 : severity == kUnknown ? 2 : severity;
}

Severity worse(Severity a, Severity b) {
    return rank(a) >= rank(b) ? a : b;
}

struct VolumeStatus {
    std::string agent;
    std::string deviceID;
    std::optional<PointRecord> lastGood;
    std::optional<JobResult> lastFailure;
    std::int64_t age = 0;
    Severity severity = kOk;
};

std::string ageText(std::int64_t seconds) {
    if (seconds < 3600)
        return std::to_string(seconds / 60) + " min";
    if (seconds < 2 * 86400)
        return std::to_string(seconds / 3600) + " h";
    return std::to_string(seconds / 86400) + " d";
}

std::vector<VolumeStatus> collect(
    Store& store, const std::filesystem::path& root,
    const std::vector<std::pair<std::string, std::string>>& expected) {
    std::map<std::pair<std::string, std::string>, VolumeStatus> volumes;
    auto entry = [&](const std::string& agent, const std::string& device) -> VolumeStatus& {
        VolumeStatus& volume = volumes[{agent, device}];
        volume.agent = agent;
        volume.deviceID = device;
        return volume;
    };
    std::set<std::string> everyVolume;  // agents whose jobs take every NTFS volume
    for (const auto& [agent, device] : expected) {
        if (device.empty())
            everyVolume.insert(agent);
        else
            entry(agent, device);
    }
    std::set<std::pair<std::string, std::string>> recorded;  // agent and device
    for (const auto& [key, results] : readJobResults(root)) {
        if (!expected.empty() && volumes.count(key) == 0 && everyVolume.count(key.first) == 0)
            continue;
        VolumeStatus& volume = entry(key.first, key.second);
        volume.lastFailure = results.lastFailure;
        if (results.lastGood) {
            volume.lastGood = store.catalogue().point(results.lastGood->point);
            if (!volume.lastGood)  // forgotten by hand since: the volume's newest point
                volume.lastGood = store.catalogue().latest(key.first, key.second);
        }
        recorded.insert(key);
    }
    // Volumes only ever backed up by hand, without a job.
    for (const PointRecord& point : store.catalogue().points()) {
        if (!expected.empty() || recorded.count({point.agent, point.deviceID}) != 0)
            continue;
        VolumeStatus& volume = entry(point.agent, point.deviceID);
        if (!volume.lastGood || volume.lastGood->created <= point.created)
            volume.lastGood = point;
    }
    std::vector<VolumeStatus> list;
    for (auto& [key, volume] : volumes)
        list.push_back(std::move(volume));
    return list;
}

void judge(VolumeStatus& volume, std::int64_t now, std::int64_t warnAge, std::int64_t critAge) {
    if (!volume.lastGood) {
        volume.severity = kCritical;
        return;
    }
    volume.age = std::max<std::int64_t>(0, now - volume.lastGood->created);
    if (critAge > 0 && volume.age > critAge)
        volume.severity = kCritical;
    else if ((warnAge > 0 && volume.age > warnAge) ||
             (volume.lastFailure && volume.lastFailure->time > volume.lastGood->created))
        volume.severity = kWarning;
}

void printText(std::ostream& out, const std::vector<VolumeStatus>& volumes,
               const std::vector<std::string>& problems) {
    for (const std::string& problem : problems)
        out << "unknown  " << problem << "\n";
    for (const VolumeStatus& volume : volumes) {
        out << severityName(volume.severity) << "  "
            << (volume.agent.empty() ? std::string("-") : volume.agent) << "  " << volume.deviceID
            << ": ";
        if (volume.lastGood)
            out << "last good point " << volume.lastGood->id << " of "
                << utcTime(volume.lastGood->created) << " UTC (" << ageText(volume.age) << " ago)";
        else
            out << "no good point";
        if (volume.lastFailure) {
            out << "; last failure " << utcTime(volume.lastFailure->time)
                << " UTC: " << volume.lastFailure->reason;
        }
        out << "\n";
    }
}

void printJson(std::ostream& out, const std::vector<VolumeStatus>& volumes,
               const std::vector<std::string>& problems, Severity overall) {
    JsonText json;
    json.beginObject().key("status").value(severityName(overall));
    if (!problems.empty()) {
        std::string reasons;
        for (const std::string& problem : problems)
            reasons += (reasons.empty() ? "" : "; ") + problem;
        json.key("reason").value(reasons);
    }
    json.key("volumes").beginArray();
    for (const VolumeStatus& volume : volumes) {
        json.beginObject().key("agent").value(volume.agent).key("device").value(volume.deviceID);
        json.key("status").value(severityName(volume.severity));
        if (volume.lastGood) {
            json.key("last_good").beginObject().key("point").value(volume.lastGood->id);
            json.key("created")
                .value(volume.lastGood->created)
                .key("age_seconds")
                .value(volume.age);
            json.endObject();
        }
        if (volume.lastFailure) {
            json.key("last_failure").beginObject().key("time").value(volume.lastFailure->time);
            json.key("reason").value(volume.lastFailure->reason).endObject();
        }
        json.endObject();
    }
    out << json.endArray().endObject().text() << "\n";
}

}  // namespace

int storeStatusCommand(CommandContext& context) {
    if (context.arguments.size() != 1)
        throw UsageError("status takes one STORE or JOBS file");
    // Per store, the agents and volumes expected there.
    std::map<std::filesystem::path, std::vector<std::pair<std::string, std::string>>> stores;
    std::filesystem::path given = context.arguments[0];
    // Whatever cannot be read is reported, never taken for "nothing to worry about".
    std::vector<std::string> problems;
    std::error_code error;
    if (std::filesystem::is_regular_file(given, error)) {
        try {
            JobsFile jobs = readJobsFile(given);
            applyObjectStoreSettings(jobs);
            for (const AgentJob& agent : jobs.agents) {
                auto& expected = stores[agent.store];
                for (const VolumeJob& volume : agent.volumes)
                    expected.emplace_back(agent.name, volume.deviceID);
                if (agent.everyNtfsVolume)
                    expected.emplace_back(agent.name, "");
            }
        } catch (const std::exception& failure) {
            problems.push_back("the jobs file " + given.string() +
                               " cannot be read: " + withoutSourceLocations(failure.what()));
        }
    } else {
        stores[given];
    }
    std::vector<VolumeStatus> volumes;
    for (const auto& [root, expected] : stores) {
        try {
            // No lock: the catalogue alone is read, and monitoring must see a store that a
            // long gc holds.
            Store store(root, Store::Access::look);
            for (VolumeStatus& volume : collect(store, root, expected))
                volumes.push_back(std::move(volume));
        } catch (const std::exception& failure) {
            problems.push_back("the store " + root.string() +
                               " cannot be read: " + withoutSourceLocations(failure.what()));
        }
    }
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    Severity overall = problems.empty() ? kOk : kUnknown;
    for (VolumeStatus& volume : volumes) {
        judge(volume, now, context.warnAge, context.critAge);
        overall = worse(overall, volume.severity);
    }
    if (context.json)
        printJson(*context.out, volumes, problems, overall);
    else
        printText(*context.out, volumes, problems);
    return overall;
}

}  // namespace backup_server
