// The state of one emulated backup-components object, shared with its asynchronous
// operations (which may outlive it briefly). Releasing the last reference deletes the
// snapshots it created.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Vss.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/snapshot/SnapshotConfig.h"
#include "platform/emulated/snapshot/SnapshotRegistry.h"

namespace platform::emulated {

struct PendingSnapshot {
    std::wstring volumeName;
    Guid snapshotId;
    std::vector<VolumeExtent> extents;
    std::uint64_t length = 0;
};

struct AddedComponent {
    Guid instanceId;
    Guid writerId;
    std::int32_t type = 0;
    std::wstring logicalPath;
    std::wstring name;
    bool reported = false;
};

class ServiceState {
  public:
    explicit ServiceState(Host& host);
    ~ServiceState();
    ServiceState(const ServiceState&) = delete;
    ServiceState& operator=(const ServiceState&) = delete;

    Host& host;
    SnapshotConfig config;
    bool initialized = false;
    bool backupStateSet = false;
    bool metadataGathered = false;
    bool statusGathered = false;
    bool setStarted = false;
    bool snapshotsDone = false;
    std::string lastStep;
    Guid setId;
    std::vector<PendingSnapshot> pending;
    std::vector<SnapshotRecord> created;
    std::vector<AddedComponent> components;

    // The configured failure of a step (after writing its event), else S_OK.
    HResult injectedFailure(const std::string& step);
    // Writes the error event of a failed step into the Application log.
    void logFailure(const std::string& step, HResult code);
    // Deletes the snapshots this object created (AbortBackup, and its release).
    void releaseSnapshots();
    // Creates the snapshots of the pending volumes (DoSnapshotSet's completion).
    HResult takeSnapshots();
    const WriterConfig* writer(const Guid& instanceId, const Guid& writerId) const;
};

}  // namespace platform::emulated
