// run JOBS [agent=NAME]... [--json]: backs up every volume of every agent of a jobs file
// (JobsFile.h), or of the agents named. At most max-agents agents at once (also into one
// store: the store keeps their backups apart), one backup per agent at a time; each backup, forget
// and partition list runs as a child process of its own (ToolProcess.h), so one failing agent never
// stops the others. A busy or unreachable agent (or a store another command holds) is tried again
// after retry-delay, doubled each time, at most `retries` times. After a good backup the volume's
// retention rules are applied (forget device=ID agent=NAME ...). Every result goes into the store's
// job-results file for `status`. Exit status 0 when every job succeeded, else 1.
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JobResults.h"
#include "backup-server/commands/JobsFile.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/commands/ToolProcess.h"
#include "backup-server/store/StoreLocation.h"

namespace backup_server {
namespace {

struct JobReport {
    JobReport(std::string agentName, std::string device)
        : agent(std::move(agentName)), deviceID(std::move(device)) {}
    std::string agent;
    std::string deviceID;
    bool ok = false;
    std::uint32_t attempts = 0;
    std::int64_t point = 0;
    std::uint64_t forgotten = 0;
    double started = 0;    // when the first backup attempt began, seconds since 1970
    double finished = 0;   // when the last one ended
    std::string reason;    // why it failed, or a warning after a good backup
    int status = kExitOk;  // the exit status of the last attempt
};

// What every job shares: the options passed on to the children, the output and the
// reports.
class Runner {
  public:
    Runner(const CommandContext& context, const JobsFile& jobs) : context_(context), jobs_(jobs) {}

    void runAgent(const AgentJob& agent) {
        std::vector<VolumeJob> volumes = agent.volumes;
        if (agent.everyNtfsVolume && !findNtfsVolumes(agent, volumes))
            return;
        std::string unreachable;  // once the agent stayed out of reach, its other volumes fail
        for (const VolumeJob& volume : volumes) {
            JobReport report{agent.name, volume.deviceID};
            if (unreachable.empty())
                backUp(agent, volume, report);
            else
                report.reason = unreachable;
            if (report.status == kExitUnreachable)
                unreachable = report.reason;
            finish(agent, report);
        }
    }

    std::vector<JobReport> reports() const { return reports_; }

  private:
    std::vector<std::string> commonOptions(const AgentJob& agent) const {
        std::vector<std::string> options{
            "--keys",     std::filesystem::absolute(context_.keysDir).string(),
            "--host",     agent.host,
            "--port",     std::to_string(agent.port),
            "--protocol", std::to_string(context_.protocol),
            "-q",         "--json"};
        if (objectStoreOptions().cacheDir)
            options.insert(options.end(), {"--cache-dir", objectStoreOptions().cacheDir->string()});
        return options;
    }

    void say(const std::string& line) {
        if (context_.quiet)
            return;
        std::lock_guard lock(mutex_);
        std::cerr << line << "\n" << std::flush;
    }

    // A busy backup says so in its JSON result, not on standard error.
    static std::string reasonOf(const ToolOutcome& outcome) {
        return outcome.status == kExitBusy ? "the agent is busy with another backup"
                                           : outcome.reason();
    }

    // A busy agent, one out of reach or a store in use may be free a little later.
    static bool worthRetrying(int status) {
        return status == kExitBusy || status == kExitUnreachable || status == kExitStoreInUse;
    }

    ToolOutcome attempt(const AgentJob& agent, const std::vector<std::string>& words,
                        JobReport& report) {
        std::vector<std::string> arguments = commonOptions(agent);
        arguments.insert(arguments.end(), words.begin(), words.end());
        double delay = jobs_.retryDelaySeconds;
        for (;;) {
            ++report.attempts;
            ToolOutcome outcome = runThisTool(arguments);
            report.status = outcome.status;
            if (!worthRetrying(outcome.status) || report.attempts > jobs_.retries)
                return outcome;
            say(agent.name + " " + report.deviceID + ": " + reasonOf(outcome) + "; retry " +
                std::to_string(report.attempts) + " of " + std::to_string(jobs_.retries) + " in " +
                std::to_string(static_cast<long>(delay)) + " s");
            std::this_thread::sleep_for(std::chrono::duration<double>(delay));
            delay = std::min(delay * 2, 3600.0);
        }
    }

    void backUp(const AgentJob& agent, const VolumeJob& volume, JobReport& report) {
        say(agent.name + " " + volume.deviceID + ": backup into " + agent.store.string());
        report.started = secondsNow();
        ToolOutcome backup =
            attempt(agent,
                    {"backup", volume.deviceID, agent.store.string(),
                     "compression=" + std::to_string(agent.compression),
                     "level=" + std::to_string(agent.level), "agent=" + agent.name},
                    report);
        report.finished = secondsNow();
        if (backup.status != kExitOk) {
            report.reason = backup.status == kExitBusy ? "the agent stayed busy with another backup"
                                                       : reasonOf(backup);
            return;
        }
        report.ok = true;
        report.point = numberAfter(backup.output, "\"point\":");
        if (!volume.retention.keepsAny())
            return;
        std::vector<std::string> words = {"forget", agent.store.string(),
                                          "device=" + volume.deviceID, "agent=" + agent.name};
        std::string rules = describePolicy(volume.retention);
        for (std::size_t at = 0; at < rules.size();) {
            std::size_t end = std::min(rules.find(' ', at), rules.size());
            words.push_back(rules.substr(at, end - at));
            at = end + 1;
        }
        JobReport forget{agent.name, volume.deviceID};
        ToolOutcome forgot = attempt(agent, words, forget);
        if (forgot.status != kExitOk) {
            report.reason = "backed up, but retention failed: " + forgot.reason();
            return;
        }
        report.forgotten = countOf(forgot.output, "\"point\":");
    }

    bool findNtfsVolumes(const AgentJob& agent, std::vector<VolumeJob>& volumes) {
        JobReport report{agent.name, "every NTFS volume"};
        ToolOutcome list = attempt(agent, {"partition-list"}, report);
        if (list.status != kExitOk) {
            report.reason = list.reason();
            finish(agent, report);
            return false;
        }
        // Entries look like {"name":"Disk 0 Partition 0",...,"container":false,...,"ntfs":true}.
        for (std::size_t at = 0;
             (at = list.output.find("{\"name\":\"", at)) != std::string::npos;) {
            at += 9;
            std::size_t end = list.output.find('"', at);
            std::size_t close = list.output.find('}', end);
            std::string fields = list.output.substr(end, close - end);
            if (fields.find("\"container\":false") != std::string::npos &&
                fields.find("\"ntfs\":true") != std::string::npos)
                volumes.push_back({list.output.substr(at, end - at), agent.retention});
        }
        if (volumes.empty()) {
            report.reason = "the agent lists no NTFS volume";
            finish(agent, report);
        }
        return !volumes.empty();
    }

    void finish(const AgentJob& agent, const JobReport& report) {
        JobResult result{static_cast<std::int64_t>(std::time(nullptr)),
                         report.agent,
                         report.deviceID,
                         report.ok,
                         report.point,
                         report.reason};
        std::string line = report.agent + " " + report.deviceID + ": ";
        line += report.ok ? "point " + std::to_string(report.point) + ", forgot " +
                                std::to_string(report.forgotten)
                          : "FAILED: " + report.reason;
        try {
            std::lock_guard lock(mutex_);
            recordJobResult(agent.store, result);
        } catch (const std::exception& error) {
            line += " (result not recorded: " + std::string(error.what()) + ")";
        }
        say(line);
        std::lock_guard lock(mutex_);
        reports_.push_back(report);
    }

    static double secondsNow() {
        auto now = std::chrono::system_clock::now().time_since_epoch();
        return std::chrono::duration<double>(now).count();
    }

    static std::int64_t numberAfter(const std::string& text, const std::string& key) {
        std::size_t at = text.find(key);
        return at == std::string::npos ? 0 : std::atoll(text.c_str() + at + key.size());
    }

    static std::uint64_t countOf(const std::string& text, const std::string& key) {
        std::uint64_t count = 0;
        for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += key.size())
            ++count;
        return count;
    }

    const CommandContext& context_;
    const JobsFile& jobs_;
    std::mutex mutex_;
    std::vector<JobReport> reports_;
};

void printSummary(const CommandContext& context, const std::vector<JobReport>& reports) {
    std::size_t failed = 0;
    for (const JobReport& report : reports)
        failed += report.ok ? 0 : 1;
    if (!context.json) {
        *context.out << reports.size() - failed << " of " << reports.size() << " jobs succeeded";
        for (const JobReport& report : reports) {
            if (!report.ok)
                *context.out << "\n  failed: " << report.agent << " " << report.deviceID << ": "
                             << report.reason;
        }
        *context.out << "\n";
        return;
    }
    JsonText json;
    json.beginObject().key("ok").value(failed == 0).key("jobs").beginArray();
    for (const JobReport& report : reports) {
        json.beginObject().key("agent").value(report.agent).key("device").value(report.deviceID);
        json.key("ok").value(report.ok).key("attempts").value(std::uint64_t{report.attempts});
        json.key("point").value(report.point).key("forgotten").value(report.forgotten);
        json.key("reason").value(report.reason);
        json.key("started").value(report.started).key("finished").value(report.finished);
        json.endObject();
    }
    *context.out << json.endArray().endObject().text() << "\n";
}

}  // namespace

int runJobsCommand(CommandContext& context) {
    if (context.arguments.empty())
        throw UsageError("run needs a JOBS file");
    JobsFile jobs = readJobsFile(context.arguments[0]);
    applyObjectStoreSettings(jobs);
    std::set<std::string> chosen;
    for (std::size_t i = 1; i < context.arguments.size(); ++i) {
        auto name = valueOf(context.arguments[i], "agent");
        if (!name)
            throw UsageError("unknown run option: " + context.arguments[i]);
        chosen.insert(*name);
    }
    std::vector<const AgentJob*> agents;
    for (const AgentJob& agent : jobs.agents) {
        if (chosen.empty() || chosen.erase(agent.name) != 0)
            agents.push_back(&agent);
    }
    if (!chosen.empty())
        throw UsageError("the jobs file has no agent " + *chosen.begin());
    Runner runner(context, jobs);
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    std::size_t count = std::min<std::size_t>(jobs.maxAgents, agents.size());
    for (std::size_t i = 0; i < count; ++i) {
        workers.emplace_back([&] {
            for (std::size_t at; (at = next++) < agents.size();)
                runner.runAgent(*agents[at]);
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    std::vector<JobReport> reports = runner.reports();
    printSummary(context, reports);
    for (const JobReport& report : reports) {
        if (!report.ok)
            return kExitFailed;
    }
    return kExitOk;
}

}  // namespace backup_server
