// How the emulated snapshot service behaves, from host.conf:
//
//   [snapshot service]
//   delay STEP = MS            an asynchronous step completes MS milliseconds after it starts
//   hang STEP = yes            an asynchronous step never completes (until cancelled)
//   fail STEP = 0xHRESULT      the step fails with this code: an asynchronous step through
//                              its status (QueryStatus, after its delay), any other call as
//                              its result; a failing step also writes an error event of
//                              source "VSS" (event 8193) into the Application log
//
//   STEP is the name of a call of the backup-components object: CreateVssBackupComponents,
//   InitializeForBackup, SetBackupState, GatherWriterMetadata, AddComponent,
//   GatherWriterStatus, StartSnapshotSet, AddToSnapshotSet, PrepareForBackup, DoSnapshotSet,
//   SetBackupSucceeded, BackupComplete, Query, GetSnapshotProperties.
//
//   [writer NAME]              a writer taking part in every backup
//   id = {GUID}                writer ID (default: derived from NAME)
//   instance = {GUID}          instance ID (default: derived from NAME)
//   usage = N                  usage type (1 bootable system state, 3 user data; default 3)
//   component = LOGICAL PATH | NAME | database or filegroup | selectable or fixed
//                              one line per component; the logical path may be empty
//   file = FULL PATH | PATH | FILESPEC | recursive or flat
//                              a file descriptor of the component whose full path (logical
//                              path + "\" + name, or name alone) is FULL PATH;
//                              "database file =" and "log file =" give the database kinds
//   exclude = PATH | FILESPEC | recursive or flat
//   state = STATE [0xFAILURE]  what GatherWriterStatus reports (default 1, stable)
//   state after STEP = STATE [0xFAILURE]
//                              the same, once STEP (PrepareForBackup, DoSnapshotSet or
//                              BackupComplete) has completed; takes precedence
//
// Malformed values throw std::runtime_error naming the key.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Vss.h"
#include "platform/emulated/HostConfig.h"

namespace platform::emulated {

struct StepBehaviour {
    std::uint32_t delayMs = 0;
    bool hang = false;
    HResult failure = kSOk;
};

struct WriterFile {
    std::wstring componentPath;
    std::int32_t kind = 0;  // 0 file, 1 database file, 2 database log file
    VssFileDescription description;
};

struct WriterState {
    std::int32_t state = kVssWsStable;
    HResult failure = kSOk;
};

struct WriterConfig {
    VssWriterIdentity identity;
    std::vector<VssComponentInfo> components;
    std::vector<WriterFile> files;
    std::vector<VssFileDescription> excludes;
    WriterState state;
    std::map<std::string, WriterState> stateAfter;

    std::vector<VssFileDescription> filesOf(const VssComponentInfo& component,
                                            std::int32_t kind) const;
};

class SnapshotConfig {
  public:
    static SnapshotConfig from(const HostConfig& config);

    StepBehaviour step(const std::string& name) const;
    const std::vector<WriterConfig>& writers() const { return writers_; }

  private:
    std::map<std::string, StepBehaviour> steps_;
    std::vector<WriterConfig> writers_;
};

}  // namespace platform::emulated
