// The snapshot client: one backup with the Volume Shadow Copy service, from
// Initialize through CreateSnapshotSet (writers gathered and selected, one shadow copy per
// volume) to BackupComplete. Every failure throws runtime::VssException; the detailed
// step-by-step trace goes to the FunctionTracer.
//
// COM must be initialised on the calling thread (multithreaded apartment) and process-wide
// COM security set before Initialize. A client belongs to one thread. The snapshots live
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
    VssClient();
    ~VssClient();
    VssClient(const VssClient&) = delete;
    VssClient& operator=(const VssClient&) = delete;

    // Starts the backup with the service. The context and the last argument are not used.
    void Initialize(std::uint32_t context, const std::wstring& xmlDoc = L"",
                    bool duringRestore = false);

    // The whole creation sequence; one shadow copy per volume of volumeList.
    void CreateSnapshotSet(const std::vector<std::wstring>& volumeList,
                           const std::wstring& outXmlFile,
                           const std::vector<std::wstring>& excludedWriters,
                           const std::vector<std::wstring>& includedComponents);

    std::vector<platform::Guid> getSnapshotIds() const { return snapshotIdList; }
    void GetSnapshotProperties(const platform::Guid& snapshotId,
                               platform::VssSnapshotProperties* prop);

    // Tells the writers whether the backup succeeded; only traces a skip when the snapshot
    // set was never created.
    void BackupComplete(bool succeeded);

    // Steps of the operations above.
    void AddToSnapshotSet(const std::vector<std::wstring>& volumes);
    void PrepareForBackup();
    void DoSnapshotSet();
    void SetBackupSucceeded(bool succeeded);
    void SaveBackupComponentsDocument(const std::wstring& fileName);
    void QuerySnapshotSet(const platform::Guid& snapshotSetId);
    // Waits for async within the snapshot time-out; cancels it and throws the time-out
    // message naming operationName when it is still pending.
    void WaitAndCheckForAsyncOperation(platform::VssAsync* async,
                                       const std::wstring& operationName);

    // Writers and their components.
    void GatherWriterMetadata();
    void InitializeWriterMetadata();
    void SelectComponentsForBackup(const std::vector<std::wstring>& shadowSourceVolumes,
                                   const std::vector<std::wstring>& excludedWriterAndComponentList,
                                   const std::vector<std::wstring>& includedWriterAndComponentList);
    void CheckSelectedWriterStatus();
    bool IsWriterSelected(const platform::Guid& instanceId) const;

    const std::vector<VssWriter>& writers() const { return writerList; }
    bool isSnapshotDone() const { return snapshotDone; }

  private:
    // Selection steps, in the order SelectComponentsForBackup runs them.
    void DiscoverDirectlyExcludedComponents(
        const std::vector<std::wstring>& excludedWriterAndComponentList);
    void DiscoverNonShadowedExcludedComponents(
        const std::vector<std::wstring>& shadowSourceVolumes);
    void DiscoverAllExcludedComponents();
    void DiscoverExcludedWriters();
    void DiscoverExplicitelyIncludedComponents();
    void VerifyExplicitelyIncludedComponent(const std::wstring& includedComponent);
    void VerifyExplicitelyIncludedWriter(const std::wstring& writerName);
    void SelectExplicitelyIncludedComponents();
    void ReportWriterStatus(const platform::VssWriterStatus& status);
    bool WritersTakePart() const { return (context & kVssVolsnapAttrNoWriters) == 0; }

    std::uint32_t context = 0;
    std::unique_ptr<platform::VssBackupComponents> m_pVssObject;
    std::vector<std::wstring> volumeList;
    std::vector<platform::Guid> snapshotIdList;
    platform::Guid m_latestSnapshotSetID;
    std::vector<VssWriter> writerList;
    std::vector<VssWriter> excludedWriterList;
    bool snapshotDone = false;
    bool duringRestore = false;
    bool writerMetadataGathered = false;
};

}  // namespace vssclient
