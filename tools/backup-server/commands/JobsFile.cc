#include "backup-server/commands/JobsFile.h"

#include <stdlib.h>
#include <toml++/toml.h>
#include <algorithm>
#include <set>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/store/StoreLocation.h"

namespace backup_server {
namespace {

// Errors name the file and the line of the value that is wrong.
class Reader {
  public:
    explicit Reader(std::filesystem::path file) : file_(std::move(file)) {}

    [[noreturn]] void fail(const toml::node* node, const std::string& message) const {
        std::string where = file_.string();
        if (node != nullptr && node->source().begin.line != 0)
            where += ":" + std::to_string(node->source().begin.line);
        throw UsageError(where + ": " + message);
    }

    void onlyKeys(const toml::table& table, const std::set<std::string>& keys,
                  const std::string& what) const {
        for (const auto& [key, value] : table) {
            if (keys.count(std::string(key.str())) == 0)
                fail(&value, "unknown key in " + what + ": " + std::string(key.str()));
        }
    }

    std::string text(const toml::table& table, const char* key, bool required) const {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            if (required)
                fail(&table, std::string("missing key: ") + key);
            return "";
        }
        if (!node->is_string() || node->as_string()->get().empty())
            fail(node, std::string(key) + " must be a non-empty string");
        return node->as_string()->get();
    }

    std::int64_t number(const toml::table& table, const char* key, std::int64_t fallback,
                        std::int64_t low, std::int64_t high) const {
        const toml::node* node = table.get(key);
        if (node == nullptr)
            return fallback;
        if (!node->is_integer() || node->as_integer()->get() < low ||
            node->as_integer()->get() > high) {
            fail(node, std::string(key) + " must be a whole number from " + std::to_string(low) +
                           " to " + std::to_string(high));
        }
        return node->as_integer()->get();
    }

    RetentionPolicy retention(const toml::node* node, const RetentionPolicy& fallback) const {
        if (node == nullptr)
            return fallback;
        if (!node->is_table())
            fail(node, "retention must be a table of rules (last = 7, daily = 14, ...)");
        RetentionPolicy policy;
        for (const auto& [key, value] : *node->as_table()) {
            std::string word = "keep-" + std::string(key.str()) + "=";
            if (value.is_integer() && value.as_integer()->get() >= 0)
                word += std::to_string(value.as_integer()->get());
            else if (value.is_string())
                word += value.as_string()->get();
            else
                fail(&value, "a retention rule is a count or, for within, a duration");
            try {
                if (!setRetentionRule(policy, word))
                    fail(&value, "unknown retention rule: " + std::string(key.str()) +
                                     " (last, hourly, daily, weekly, monthly, yearly, within)");
            } catch (const UsageError& error) {
                fail(&value, error.what());
            }
        }
        return policy;
    }

    std::filesystem::path storePath(const std::string& text) const {
        if (isObjectStoreName(text))
            return text;
        // Absolute, so the jobs' child processes find it wherever they run.
        return std::filesystem::absolute(file_.parent_path() / text).lexically_normal();
    }

  private:
    std::filesystem::path file_;
};

bool validName(const std::string& name) {
    return !name.empty() && name.size() <= 64 &&
           name.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
               "0123456789._-") == std::string::npos;
}

AgentJob readAgent(const Reader& reader, const toml::table& table, const JobsFile& jobs,
                   const RetentionPolicy& defaults) {
    reader.onlyKeys(table,
                    {"name", "host", "port", "volumes", "compression", "level", "store",
                     "retention", "volume-retention"},
                    "[[agent]]");
    AgentJob agent;
    agent.name = reader.text(table, "name", true);
    if (!validName(agent.name))
        reader.fail(table.get("name"), "an agent name holds letters, digits, '.', '_' and '-'");
    agent.host = reader.text(table, "host", true);
    agent.port = static_cast<std::uint16_t>(reader.number(table, "port", 1167, 1, 65535));
    agent.compression = static_cast<std::uint32_t>(reader.number(table, "compression", 1, 0, 1));
    agent.level = static_cast<std::uint32_t>(reader.number(table, "level", 6, 0, 9));
    std::string store = reader.text(table, "store", false);
    agent.store = store.empty() ? jobs.store : reader.storePath(store);
    if (agent.store.empty())
        reader.fail(&table, "agent " + agent.name + " has no store (and the file names none)");
    agent.retention = reader.retention(table.get("retention"), defaults);
    const toml::node* volumes = table.get("volumes");
    if (volumes == nullptr)
        reader.fail(&table, "agent " + agent.name + " names no volumes");
    if (volumes->is_string() && volumes->as_string()->get() == "ntfs") {
        agent.everyNtfsVolume = true;
    } else if (volumes->is_array() && !volumes->as_array()->empty()) {
        for (const toml::node& volume : *volumes->as_array()) {
            if (!volume.is_string() || volume.as_string()->get().empty())
                reader.fail(&volume, "a volume is a device ID such as \"Disk 0 Partition 1\"");
            agent.volumes.push_back({volume.as_string()->get(), agent.retention});
        }
    } else {
        reader.fail(volumes, "volumes is a list of device IDs or \"ntfs\"");
    }
    if (const toml::node* perVolume = table.get("volume-retention")) {
        if (!perVolume->is_table())
            reader.fail(perVolume, "volume-retention is a table of device IDs");
        for (const auto& [key, rules] : *perVolume->as_table()) {
            std::string device(key.str());
            auto it = std::find_if(agent.volumes.begin(), agent.volumes.end(),
                                   [&](const VolumeJob& v) { return v.deviceID == device; });
            if (it == agent.volumes.end())
                reader.fail(&rules,
                            "volume-retention names a volume the agent's volumes do not "
                            "list: " +
                                device);
            it->retention = reader.retention(&rules, agent.retention);
        }
    }
    return agent;
}

}  // namespace

JobsFile readJobsFile(const std::filesystem::path& file) {
    Reader reader(file);
    toml::table root;
    try {
        root = toml::parse_file(file.string());
    } catch (const toml::parse_error& error) {
        throw UsageError(file.string() + ":" + std::to_string(error.source().begin.line) + ": " +
                         std::string(error.description()));
    }
    reader.onlyKeys(root,
                    {"store", "max-agents", "retries", "retry-delay", "retention", "agent", "s3"},
                    "the jobs file");
    JobsFile jobs;
    std::string store = reader.text(root, "store", false);
    if (!store.empty())
        jobs.store = reader.storePath(store);
    if (const toml::node* s3 = root.get("s3")) {
        if (!s3->is_table())
            reader.fail(s3, "s3 must be a table ([s3])");
        const toml::table& table = *s3->as_table();
        reader.onlyKeys(table, {"endpoint", "region", "credentials-file"}, "[s3]");
        jobs.s3.endpoint = reader.text(table, "endpoint", false);
        jobs.s3.region = reader.text(table, "region", false);
        std::string credentials = reader.text(table, "credentials-file", false);
        if (!credentials.empty())
            jobs.s3.credentialsFile = reader.storePath(credentials).string();
    }
    jobs.maxAgents = static_cast<std::uint32_t>(reader.number(root, "max-agents", 4, 1, 256));
    jobs.retries = static_cast<std::uint32_t>(reader.number(root, "retries", 3, 0, 100));
    std::string delay = reader.text(root, "retry-delay", false);
    if (!delay.empty()) {
        try {
            jobs.retryDelaySeconds = static_cast<double>(durationSeconds("retry-delay", delay));
        } catch (const UsageError& error) {
            reader.fail(root.get("retry-delay"), error.what());
        }
    }
    RetentionPolicy defaults = reader.retention(root.get("retention"), {});
    const toml::node* agents = root.get("agent");
    if (agents == nullptr || !agents->is_array_of_tables() || agents->as_array()->empty())
        reader.fail(agents, "no [[agent]] in the jobs file");
    std::set<std::string> names;
    for (const toml::node& agent : *agents->as_array()) {
        jobs.agents.push_back(readAgent(reader, *agent.as_table(), jobs, defaults));
        if (!names.insert(jobs.agents.back().name).second)
            reader.fail(&agent, "agent name used twice: " + jobs.agents.back().name);
    }
    return jobs;
}

void applyObjectStoreSettings(const JobsFile& jobs) {
    // Through the environment, so that the jobs' own processes see them too (none of them
    // is a secret: the credentials stay in their file).
    const std::pair<const char*, const std::string*> settings[] = {
        {"AWS_ENDPOINT_URL", &jobs.s3.endpoint},
        {"AWS_REGION", &jobs.s3.region},
        {kCredentialsFileVariable, &jobs.s3.credentialsFile},
    };
    for (const auto& [name, value] : settings) {
        if (!value->empty())
            ::setenv(name, value->c_str(), 1);
    }
}

}  // namespace backup_server
