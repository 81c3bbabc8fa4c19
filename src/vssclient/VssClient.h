// The snapshot client: one backup with the Volume Shadow Copy service, from
// initialize through createSnapshotSet (writers gathered and selected, one shadow copy per
// volume) to backupComplete. Every failure throws runtime::VssException; the detailed
// step-by-step trace goes to the FunctionTracer.
//
// COM must be initialised on the calling thread (multithreaded apartment) and process-wide
// COM security set before initialize. A client belongs to one thread. The snapshots live
// until the client is destroyed (the service releases them with the backup-components
// object).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Vss.h"
#include "vssclient/VssWriter.h"

namespace vssclient {

// Context bits that leave out the writers and the final listing of the set.
constexpr std::uint32_t kVssVolsnapAttrNoWriters = 0x10;
constexpr std::uint32_t kVssVolsnapAttrNoAutorelease = 0x20;

class VssClient {
  public:
    static constexpr std::int32_t kDefaultTimeoutSeconds = 1200;

    // Each asynchronous step of the service may take up to timeoutSeconds; 0 sets no limit.
    explicit VssClient(std::int32_t timeoutSeconds = kDefaultTimeoutSeconds);
    ~VssClient();
    VssClient(const VssClient&) = delete;
    VssClient& operator=(const VssClient&) = delete;

    // The backup type every client of the process uses: full by default (writers see every
    // included component backed up and may truncate their logs, as database writers do), or
    // copy-only, which leaves the applications' own backup history and logs alone.
    static void setCopyOnlyBackups(bool enabled);
    static bool copyOnlyBackups();

    // Starts the backup with the service. The context and the last argument are not used.
    void initialize(std::uint32_t context, const std::wstring& xmlDoc = L"",
                    bool duringRestore = false);

    // The whole creation sequence; one shadow copy per volume of volumeList. A failure after
    // the set was started aborts the backup with the service before it is thrown.
    void createSnapshotSet(const std::vector<std::wstring>& volumeList,
                           const std::wstring& outXmlFile,
                           const std::vector<std::wstring>& excludedWriters,
                           const std::vector<std::wstring>& includedComponents);

    std::vector<platform::Guid> getSnapshotIds() const { return snapshotIdList_; }
    void getSnapshotProperties(const platform::Guid& snapshotId,
                               platform::VssSnapshotProperties* prop);

    // Tells the writers whether the backup succeeded; only traces a skip when the snapshot
    // set was never created.
    void backupComplete(bool succeeded);

    // Steps of the operations above.
    void addToSnapshotSet(const std::vector<std::wstring>& volumes);
    void prepareForBackup();
    void doSnapshotSet();
    void abortBackup();
    void setBackupSucceeded(bool succeeded);
    void saveBackupComponentsDocument(const std::wstring& fileName);
    void querySnapshotSet(const platform::Guid& snapshotSetId);
    // Waits for async within the snapshot time-out; cancels it and throws the time-out
    // message naming operationName when it is still pending.
    void waitAndCheckForAsyncOperation(platform::VssAsync* async,
                                       const std::wstring& operationName);

    // Writers and their components.
    void gatherWriterMetadata();
    void initializeWriterMetadata();
    void selectComponentsForBackup(const std::vector<std::wstring>& shadowSourceVolumes,
                                   const std::vector<std::wstring>& excludedWriterAndComponentList,
                                   const std::vector<std::wstring>& includedWriterAndComponentList);
    void checkSelectedWriterStatus();
    bool isWriterSelected(const platform::Guid& instanceId) const;

    const std::vector<VssWriter>& writers() const { return writerList_; }
    bool isSnapshotDone() const { return snapshotDone_; }

  private:
    // Selection steps, in the order SelectComponentsForBackup runs them.
    void discoverDirectlyExcludedComponents(
        const std::vector<std::wstring>& excludedWriterAndComponentList);
    void discoverNonShadowedExcludedComponents(
        const std::vector<std::wstring>& shadowSourceVolumes);
    void discoverAllExcludedComponents();
    void discoverExcludedWriters();
    void discoverExplicitelyIncludedComponents();
    void verifyExplicitelyIncludedComponent(const std::wstring& includedComponent);
    void verifyExplicitelyIncludedWriter(const std::wstring& writerName);
    void selectExplicitelyIncludedComponents();
    void reportWriterStatus(const platform::VssWriterStatus& status);
    bool writersTakePart() const { return (context_ & kVssVolsnapAttrNoWriters) == 0; }

    std::int32_t timeoutSeconds_;
    std::uint32_t context_ = 0;
    std::unique_ptr<platform::VssBackupComponents> vssObject_;
    std::vector<std::wstring> volumeList_;
    std::vector<platform::Guid> snapshotIdList_;
    platform::Guid latestSnapshotSetId_;
    std::vector<VssWriter> writerList_;
    std::vector<VssWriter> excludedWriterList_;
    bool snapshotDone_ = false;
    bool duringRestore_ = false;
    bool writerMetadataGathered_ = false;
};

}  // namespace vssclient
