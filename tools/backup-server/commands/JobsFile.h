// The jobs file of `backup-server run` and `status`: which agents and volumes to back up
// into which store, how, and what to keep. TOML (README.md, "Jobs file", has an example):
//
//   store = "/srv/store"        # default store of every agent
//   max-agents = 4              # agents backed up at once
//   retries = 3                 # more attempts for a busy or unreachable agent
//   retry-delay = "60s"         # before the first retry; doubled for each next one
//   [retention]                 # default rules (forget's keep-* words without "keep-")
//   last = 7
//   daily = 14
//   [s3]                        # how s3://BUCKET/PREFIX stores are reached (all optional;
//   endpoint = "https://s3.example.net"   # what is missing comes from AWS_ENDPOINT_URL,
//   region = "eu-west-1"                  # AWS_REGION, AWS_ACCESS_KEY_ID and
//   credentials-file = "s3.credentials"   # AWS_SECRET_ACCESS_KEY; never a secret here)
//   [[agent]]
//   name = "fs1"                # unique; letters, digits, '.', '_' and '-'
//   host = "10.0.0.5"
//   port = 1167
//   volumes = ["Disk 0 Partition 1"]   # or "ntfs": every NTFS volume the agent lists
//   compression = 1             # 0 or 1
//   level = 6                   # 0 to 9
//   store = "/srv/store-fs1"    # this agent's own store (default: the top-level one)
//   [agent.retention]           # this agent's rules (replace the defaults)
//   [agent.volume-retention."Disk 0 Partition 1"]   # one volume's rules
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "backup-server/objects/S3Settings.h"
#include "backup-server/store/Retention.h"

namespace backup_server {

struct VolumeJob {
    std::string deviceID;
    RetentionPolicy retention;  // nothing kept by any rule: no forget after the backup
};

struct AgentJob {
    std::string name;
    std::string host;
    std::uint16_t port = 1167;
    bool everyNtfsVolume = false;  // volumes = "ntfs"
    std::vector<VolumeJob> volumes;
    RetentionPolicy retention;  // for volumes found with "ntfs"
    std::uint32_t compression = 1;
    std::uint32_t level = 6;
    std::filesystem::path store;
};

struct JobsFile {
    std::filesystem::path store;  // the default store
    std::uint32_t maxAgents = 4;
    std::uint32_t retries = 3;
    double retryDelaySeconds = 60;
    std::vector<AgentJob> agents;
    objects::S3Profile s3;
};

// Reads and checks the whole file; throws UsageError naming the file, the line and the
// key for anything wrong (a syntax error, an unknown key, a bad value, a missing store or
// host, a repeated agent name). Relative stores are taken from the file's folder.
JobsFile readJobsFile(const std::filesystem::path& file);
// Makes the file's [s3] settings those of this process's s3:// stores and of the processes
// it starts (as AWS_ENDPOINT_URL, AWS_REGION and ZENTRAD_S3_CREDENTIALS_FILE).
void applyObjectStoreSettings(const JobsFile& jobs);

}  // namespace backup_server
