// The Volume Shadow Copy service through the seam: the backup-components object, its
// asynchronous operations, the writers' metadata and components, and the snapshot
// property record, with the service's values and result codes.
//
// Every method returns the HRESULT the service returned. Objects are owned by
// unique_ptr; releasing one releases the COM object underneath. Text is wide.
//
// Where the emulated host differs from Windows: its snapshots live only as long as the
// backup-components object that created them (as non-persistent backup snapshots do on
// Windows), and writers, delays and failures come from host.conf (see
// platform/emulated/snapshot/SnapshotConfig.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Com.h"

namespace platform {

constexpr HResult kVssSAsyncPending = hresult(0x00042309);
constexpr HResult kVssSAsyncFinished = hresult(0x0004230A);
constexpr HResult kVssSAsyncCancelled = hresult(0x0004230B);
constexpr HResult kVssEBadState = hresult(0x80042301);
constexpr HResult kVssEProviderVeto = hresult(0x80042306);
constexpr HResult kVssEObjectNotFound = hresult(0x80042308);
constexpr HResult kVssEVolumeNotSupported = hresult(0x8004230C);
constexpr HResult kVssEObjectAlreadyExists = hresult(0x8004230D);
constexpr HResult kVssEUnexpectedProviderError = hresult(0x8004230F);
constexpr HResult kVssEMaximumNumberOfVolumesReached = hresult(0x80042312);
constexpr HResult kVssESnapshotSetInProgress = hresult(0x80042316);
constexpr HResult kVssEWriterNotResponding = hresult(0x80042319);
constexpr HResult kVssEInsufficientStorage = hresult(0x8004231F);

// VSS_BACKUP_TYPE
constexpr std::int32_t kVssBtFull = 1;
constexpr std::int32_t kVssBtCopy = 5;
// VSS_COMPONENT_TYPE
constexpr std::int32_t kVssCtUndefined = 0;
constexpr std::int32_t kVssCtDatabase = 1;
constexpr std::int32_t kVssCtFilegroup = 2;
// VSS_USAGE_TYPE
constexpr std::int32_t kVssUtBootableSystemState = 1;
constexpr std::int32_t kVssUtUserData = 3;
// VSS_OBJECT_TYPE
constexpr std::int32_t kVssObjectNone = 1;
constexpr std::int32_t kVssObjectSnapshot = 3;
// VSS_SNAPSHOT_STATE
constexpr std::int32_t kVssSsCreated = 12;
// VSS_WRITER_STATE: 1 stable .. 14 failed at post restore; 6 to 14 are the failed states.
constexpr std::int32_t kVssWsStable = 1;
constexpr std::int32_t kVssWsFailedAtIdentify = 6;
constexpr std::int32_t kVssWsFailedAtPostRestore = 14;
// Wait without a limit.
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// IVssAsync.
class VssAsync {
  public:
    virtual ~VssAsync() = default;
    virtual HResult wait(std::uint32_t milliseconds) = 0;
    virtual HResult cancel() = 0;
    // The call's own result; *status receives the operation's state or failure code.
    virtual HResult queryStatus(HResult* status) = 0;
};

// IVssWMFiledesc, read in one go.
struct VssFileDescription {
    std::wstring path;
    std::wstring filespec;
    std::wstring alternateLocation;
    bool recursive = false;
};

// IVssExamineWriterMetadata::GetIdentity.
struct VssWriterIdentity {
    Guid instanceId;
    Guid writerId;
    std::wstring writerName;
    std::int32_t usage = 0;
    std::int32_t source = 0;
};

// IVssExamineWriterMetadata::GetRestoreMethod.
struct VssRestoreMethod {
    std::int32_t method = 0;
    std::wstring service;
    std::wstring userProcedure;
    std::int32_t writerRestore = 0;
    bool rebootRequired = false;
    std::uint32_t mappings = 0;
};

// IVssExamineWriterMetadata::GetFileCounts.
struct VssFileCounts {
    std::uint32_t includeFiles = 0;
    std::uint32_t excludeFiles = 0;
    std::uint32_t components = 0;
};

// VSS_COMPONENTINFO (the fields the agent reads).
struct VssComponentInfo {
    std::int32_t type = kVssCtUndefined;
    std::wstring logicalPath;
    std::wstring componentName;
    std::wstring caption;
    bool restoreMetadata = false;
    bool notifyOnBackupComplete = false;
    bool selectable = false;
    bool selectableForRestore = false;
    std::uint32_t fileCount = 0;
    std::uint32_t databaseFiles = 0;
    std::uint32_t logFiles = 0;
};

// IVssWMComponent.
class VssWMComponent {
  public:
    virtual ~VssWMComponent() = default;
    virtual HResult getComponentInfo(VssComponentInfo* info) = 0;
    virtual HResult getFile(std::uint32_t index, VssFileDescription* file) = 0;
    virtual HResult getDatabaseFile(std::uint32_t index, VssFileDescription* file) = 0;
    virtual HResult getDatabaseLogFile(std::uint32_t index, VssFileDescription* file) = 0;
};

// IVssExamineWriterMetadata.
class VssExamineWriterMetadata {
  public:
    virtual ~VssExamineWriterMetadata() = default;
    virtual HResult getIdentity(VssWriterIdentity* identity) = 0;
    virtual HResult getRestoreMethod(VssRestoreMethod* method) = 0;
    virtual HResult getFileCounts(VssFileCounts* counts) = 0;
    virtual HResult getExcludeFile(std::uint32_t index, VssFileDescription* file) = 0;
    virtual HResult getComponent(std::uint32_t index,
                                 std::unique_ptr<VssWMComponent>* component) = 0;
};

// IVssBackupComponents::GetWriterStatus.
struct VssWriterStatus {
    Guid instanceId;
    Guid writerId;
    std::wstring writerName;
    std::int32_t state = 0;
    HResult failure = kSOk;
};

// VSS_SNAPSHOT_PROP. The strings are copies, so the record needs no freeing: the Windows
// implementation calls VssFreeSnapshotProperties itself before returning.
struct VssSnapshotProperties {
    Guid snapshotId;
    Guid snapshotSetId;
    std::int32_t snapshotsCount = 0;
    std::wstring snapshotDeviceObject;
    std::wstring originalVolumeName;
    std::wstring originatingMachine;
    std::wstring serviceMachine;
    std::wstring exposedName;
    std::wstring exposedPath;
    Guid providerId;
    std::int32_t snapshotAttributes = 0;
    std::int64_t creationTimestamp = 0;
    std::int32_t status = 0;
};

// IVssEnumObject over snapshot objects. next() returns S_FALSE at the end.
class VssEnumSnapshots {
  public:
    virtual ~VssEnumSnapshots() = default;
    virtual HResult next(VssSnapshotProperties* snapshot, std::uint32_t* fetched) = 0;
};

// IVssBackupComponents (the methods the agent calls).
class VssBackupComponents {
  public:
    virtual ~VssBackupComponents() = default;
    // Without a document when xmlDocument is null.
    virtual HResult initializeForBackup(const std::wstring* xmlDocument) = 0;
    virtual HResult setBackupState(bool selectComponents, bool bootableSystemState,
                                   std::int32_t backupType, bool partialFileSupport) = 0;
    virtual HResult gatherWriterMetadata(std::unique_ptr<VssAsync>* async) = 0;
    virtual HResult getWriterMetadataCount(std::uint32_t* count) = 0;
    virtual HResult getWriterMetadata(std::uint32_t index, Guid* instanceId,
                                      std::unique_ptr<VssExamineWriterMetadata>* metadata) = 0;
    virtual HResult freeWriterMetadata() = 0;
    virtual HResult addComponent(const Guid& instanceId, const Guid& writerId,
                                 std::int32_t componentType, const std::wstring& logicalPath,
                                 const std::wstring& componentName) = 0;
    virtual HResult gatherWriterStatus(std::unique_ptr<VssAsync>* async) = 0;
    virtual HResult getWriterStatusCount(std::uint32_t* count) = 0;
    virtual HResult getWriterStatus(std::uint32_t index, VssWriterStatus* status) = 0;
    virtual HResult freeWriterStatus() = 0;
    virtual HResult startSnapshotSet(Guid* snapshotSetId) = 0;
    virtual HResult addToSnapshotSet(const std::wstring& volumeName, const Guid& providerId,
                                     Guid* snapshotId) = 0;
    virtual HResult prepareForBackup(std::unique_ptr<VssAsync>* async) = 0;
    virtual HResult doSnapshotSet(std::unique_ptr<VssAsync>* async) = 0;
    virtual HResult setBackupSucceeded(const Guid& instanceId, const Guid& writerId,
                                       std::int32_t componentType, const std::wstring& logicalPath,
                                       const std::wstring& componentName, bool succeeded) = 0;
    virtual HResult backupComplete(std::unique_ptr<VssAsync>* async) = 0;
    // Ends a backup that failed after startSnapshotSet: the writers are told, and the
    // shadow copies of the set are deleted. The emulated service deletes them at once.
    virtual HResult abortBackup() = 0;
    virtual HResult saveAsXml(std::wstring* xml) = 0;
    // Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT): every snapshot of the system.
    // S_FALSE (and an enumerator that yields nothing) when there is none.
    virtual HResult querySnapshots(std::unique_ptr<VssEnumSnapshots>* snapshots) = 0;
    virtual HResult getSnapshotProperties(const Guid& snapshotId,
                                          VssSnapshotProperties* properties) = 0;
};

// CreateVssBackupComponents. COM must be initialised on the calling thread.
HResult createVssBackupComponents(std::unique_ptr<VssBackupComponents>* components);

}  // namespace platform
