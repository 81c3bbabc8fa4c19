// The snapshot service's backup-components object on Windows: a thin wrapper of
// IVssBackupComponents.
#include "platform/win32/ComRef.h"
#include "platform/win32/VssWrappers.h"

namespace platform::win32 {
namespace {

// The async out parameter of the service's asynchronous calls.
template <typename Call>
HResult startAsync(std::unique_ptr<VssAsync>* async, Call call) {
    if (async == nullptr)
        return E_POINTER;
    IVssAsync* raw = nullptr;
    HRESULT hr = call(&raw);
    if (SUCCEEDED(hr) && raw != nullptr)
        *async = wrapAsync(raw);
    return hr;
}

class Win32SnapshotEnumeration : public VssEnumSnapshots {
  public:
    explicit Win32SnapshotEnumeration(IVssEnumObject* objects) : objects_(objects) {}

    HResult next(VssSnapshotProperties* snapshot, std::uint32_t* fetched) override {
        if (snapshot == nullptr || fetched == nullptr)
            return E_POINTER;
        *fetched = 0;
        if (!objects_)
            return S_FALSE;
        VSS_OBJECT_PROP prop{};
        ULONG count = 0;
        HRESULT hr = objects_->Next(1, &prop, &count);
        if (FAILED(hr) || hr == S_FALSE || count == 0)
            return hr;
        if (prop.Type == VSS_OBJECT_SNAPSHOT) {
            *snapshot = takeSnapshotProperties(prop.Obj.Snap);
            *fetched = 1;
        }
        return hr;
    }

  private:
    ComRef<IVssEnumObject> objects_;
};

class Win32BackupComponents : public VssBackupComponents {
  public:
    explicit Win32BackupComponents(IVssBackupComponents* components) : components_(components) {}

    HResult initializeForBackup(const std::wstring* xmlDocument) override {
        if (xmlDocument == nullptr)
            return components_->InitializeForBackup(nullptr);
        Bstr document(*xmlDocument);
        return components_->InitializeForBackup(document.get());
    }
    HResult setBackupState(bool selectComponents, bool bootableSystemState, std::int32_t backupType,
                           bool partialFileSupport) override {
        return components_->SetBackupState(selectComponents, bootableSystemState,
                                           static_cast<VSS_BACKUP_TYPE>(backupType),
                                           partialFileSupport);
    }
    HResult gatherWriterMetadata(std::unique_ptr<VssAsync>* async) override {
        return startAsync(async,
                          [&](IVssAsync** raw) { return components_->GatherWriterMetadata(raw); });
    }
    HResult getWriterMetadataCount(std::uint32_t* count) override {
        UINT value = 0;
        HRESULT hr = components_->GetWriterMetadataCount(&value);
        if (count != nullptr)
            *count = value;
        return hr;
    }
    HResult getWriterMetadata(std::uint32_t index, Guid* instanceId,
                              std::unique_ptr<VssExamineWriterMetadata>* metadata) override {
        if (instanceId == nullptr || metadata == nullptr)
            return E_POINTER;
        VSS_ID instance = GUID_NULL;
        IVssExamineWriterMetadata* raw = nullptr;
        HRESULT hr = components_->GetWriterMetadata(index, &instance, &raw);
        if (SUCCEEDED(hr) && raw != nullptr) {
            *instanceId = fromGUID(instance);
            *metadata = wrapWriterMetadata(raw);
        }
        return hr;
    }
    HResult freeWriterMetadata() override { return components_->FreeWriterMetadata(); }
    HResult addComponent(const Guid& instanceId, const Guid& writerId, std::int32_t componentType,
                         const std::wstring& logicalPath,
                         const std::wstring& componentName) override {
        return components_->AddComponent(toGUID(instanceId), toGUID(writerId),
                                         static_cast<VSS_COMPONENT_TYPE>(componentType),
                                         nullIfEmpty(logicalPath), componentName.c_str());
    }
    HResult gatherWriterStatus(std::unique_ptr<VssAsync>* async) override {
        return startAsync(async,
                          [&](IVssAsync** raw) { return components_->GatherWriterStatus(raw); });
    }
    HResult getWriterStatusCount(std::uint32_t* count) override {
        UINT value = 0;
        HRESULT hr = components_->GetWriterStatusCount(&value);
        if (count != nullptr)
            *count = value;
        return hr;
    }
    HResult getWriterStatus(std::uint32_t index, VssWriterStatus* status) override;
    HResult freeWriterStatus() override { return components_->FreeWriterStatus(); }
    HResult abortBackup() override { return components_->AbortBackup(); }

    HResult startSnapshotSet(Guid* snapshotSetId) override {
        VSS_ID id = GUID_NULL;
        HRESULT hr = components_->StartSnapshotSet(&id);
        if (snapshotSetId != nullptr)
            *snapshotSetId = fromGUID(id);
        return hr;
    }
    HResult addToSnapshotSet(const std::wstring& volumeName, const Guid& providerId,
                             Guid* snapshotId) override {
        VSS_ID id = GUID_NULL;
        HRESULT hr = components_->AddToSnapshotSet(const_cast<VSS_PWSZ>(volumeName.c_str()),
                                                   toGUID(providerId), &id);
        if (snapshotId != nullptr)
            *snapshotId = fromGUID(id);
        return hr;
    }
    HResult prepareForBackup(std::unique_ptr<VssAsync>* async) override {
        return startAsync(async,
                          [&](IVssAsync** raw) { return components_->PrepareForBackup(raw); });
    }
    HResult doSnapshotSet(std::unique_ptr<VssAsync>* async) override {
        return startAsync(async, [&](IVssAsync** raw) { return components_->DoSnapshotSet(raw); });
    }
    HResult setBackupSucceeded(const Guid& instanceId, const Guid& writerId,
                               std::int32_t componentType, const std::wstring& logicalPath,
                               const std::wstring& componentName, bool succeeded) override {
        return components_->SetBackupSucceeded(
            toGUID(instanceId), toGUID(writerId), static_cast<VSS_COMPONENT_TYPE>(componentType),
            nullIfEmpty(logicalPath), componentName.c_str(), succeeded);
    }
    HResult backupComplete(std::unique_ptr<VssAsync>* async) override {
        return startAsync(async, [&](IVssAsync** raw) { return components_->BackupComplete(raw); });
    }
    HResult saveAsXml(std::wstring* xml) override {
        Bstr text;
        HRESULT hr = components_->SaveAsXML(text.put());
        if (SUCCEEDED(hr) && xml != nullptr)
            *xml = text.str();
        return hr;
    }
    HResult querySnapshots(std::unique_ptr<VssEnumSnapshots>* snapshots) override {
        if (snapshots == nullptr)
            return E_POINTER;
        IVssEnumObject* raw = nullptr;
        HRESULT hr = components_->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &raw);
        if (SUCCEEDED(hr))
            *snapshots = std::make_unique<Win32SnapshotEnumeration>(raw);
        return hr;
    }
    HResult getSnapshotProperties(const Guid& snapshotId,
                                  VssSnapshotProperties* properties) override {
        if (properties == nullptr)
            return E_POINTER;
        VSS_SNAPSHOT_PROP prop{};
        HRESULT hr = components_->GetSnapshotProperties(toGUID(snapshotId), &prop);
        if (SUCCEEDED(hr))
            *properties = takeSnapshotProperties(prop);
        return hr;
    }

  private:
    // An empty logical path is passed as no path, as writers report it.
    static LPCWSTR nullIfEmpty(const std::wstring& text) {
        return text.empty() ? nullptr : text.c_str();
    }

    ComRef<IVssBackupComponents> components_;
};

HResult Win32BackupComponents::getWriterStatus(std::uint32_t index, VssWriterStatus* status) {
    if (status == nullptr)
        return E_POINTER;
    VSS_ID instance = GUID_NULL, writer = GUID_NULL;
    Bstr name;
    VSS_WRITER_STATE state = VSS_WS_UNKNOWN;
    HRESULT failure = S_OK;
    HRESULT hr =
        components_->GetWriterStatus(index, &instance, &writer, name.put(), &state, &failure);
    if (SUCCEEDED(hr))
        *status = {fromGUID(instance), fromGUID(writer), name.str(), state, failure};
    return hr;
}

}  // namespace
}  // namespace platform::win32

namespace platform {

HResult createVssBackupComponents(std::unique_ptr<VssBackupComponents>* components) {
    if (components == nullptr)
        return E_POINTER;
    IVssBackupComponents* raw = nullptr;
    HRESULT hr = ::CreateVssBackupComponents(&raw);
    if (SUCCEEDED(hr) && raw != nullptr)
        *components = std::make_unique<win32::Win32BackupComponents>(raw);
    return hr;
}

}  // namespace platform
