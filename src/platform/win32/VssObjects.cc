// Asynchronous operations, writer metadata and components of the snapshot service on
// Windows: thin wrappers of IVssAsync, IVssExamineWriterMetadata, IVssWMComponent and
// IVssWMFiledesc.
#include "platform/win32/ComRef.h"
#include "platform/win32/VssWrappers.h"

namespace platform::win32 {
namespace {

static_assert(kVssSAsyncPending == VSS_S_ASYNC_PENDING);
static_assert(kVssSAsyncFinished == VSS_S_ASYNC_FINISHED);
static_assert(kVssSAsyncCancelled == VSS_S_ASYNC_CANCELLED);
static_assert(kVssBtFull == VSS_BT_FULL && kVssBtCopy == VSS_BT_COPY);
static_assert(kVssCtDatabase == VSS_CT_DATABASE && kVssCtFilegroup == VSS_CT_FILEGROUP);
static_assert(kVssUtBootableSystemState == VSS_UT_BOOTABLESYSTEMSTATE);
static_assert(kVssObjectNone == VSS_OBJECT_NONE && kVssObjectSnapshot == VSS_OBJECT_SNAPSHOT);
static_assert(kVssWsStable == VSS_WS_STABLE &&
              kVssWsFailedAtPostRestore == VSS_WS_FAILED_AT_POST_RESTORE);

class Win32Async : public VssAsync {
  public:
    explicit Win32Async(IVssAsync* async) : async_(async) {}
    HResult wait(std::uint32_t milliseconds) override { return async_->Wait(milliseconds); }
    HResult cancel() override { return async_->Cancel(); }
    HResult queryStatus(HResult* status) override {
        HRESULT result = S_OK;
        HRESULT hr = async_->QueryStatus(&result, nullptr);
        if (status != nullptr)
            *status = result;
        return hr;
    }

  private:
    ComRef<IVssAsync> async_;
};

// GetRecursive takes bool* in the Windows SDK and boolean* in MinGW-w64's headers.
template <typename Flag>
HRESULT getRecursive(IVssWMFiledesc* desc,
                     HRESULT (STDMETHODCALLTYPE IVssWMFiledesc::*method)(Flag*), bool* out) {
    Flag flag{};
    HRESULT hr = (desc->*method)(&flag);
    *out = flag != 0;
    return hr;
}

HResult readFileDescription(IVssWMFiledesc* raw, VssFileDescription* file) {
    ComRef<IVssWMFiledesc> desc(raw);
    if (file == nullptr)
        return E_POINTER;
    Bstr path, filespec, alternate;
    bool recursive = false;
    HRESULT hr = desc->GetPath(path.put());
    if (SUCCEEDED(hr))
        hr = desc->GetFilespec(filespec.put());
    if (SUCCEEDED(hr))
        hr = getRecursive(desc.get(), &IVssWMFiledesc::GetRecursive, &recursive);
    if (SUCCEEDED(hr))
        hr = desc->GetAlternateLocation(alternate.put());
    if (FAILED(hr))
        return hr;
    file->path = path.str();
    file->filespec = filespec.str();
    file->alternateLocation = alternate.str();
    file->recursive = recursive;
    return S_OK;
}

class Win32Component : public VssWMComponent {
  public:
    explicit Win32Component(IVssWMComponent* component) : component_(component) {}

    HResult getComponentInfo(VssComponentInfo* info) override {
        if (info == nullptr)
            return E_POINTER;
        PVSSCOMPONENTINFO raw = nullptr;
        HRESULT hr = component_->GetComponentInfo(&raw);
        if (FAILED(hr) || raw == nullptr)
            return FAILED(hr) ? hr : E_UNEXPECTED;
        info->type = raw->type;
        info->logicalPath = Bstr::view(raw->bstrLogicalPath);
        info->componentName = Bstr::view(raw->bstrComponentName);
        info->caption = Bstr::view(raw->bstrCaption);
        info->restoreMetadata = raw->bRestoreMetadata;
        info->notifyOnBackupComplete = raw->bNotifyOnBackupComplete;
        info->selectable = raw->bSelectable;
        info->selectableForRestore = raw->bSelectableForRestore;
        info->fileCount = raw->cFileCount;
        info->databaseFiles = raw->cDatabases;
        info->logFiles = raw->cLogFiles;
        component_->FreeComponentInfo(raw);
        return S_OK;
    }
    HResult getFile(std::uint32_t index, VssFileDescription* file) override {
        IVssWMFiledesc* desc = nullptr;
        HRESULT hr = component_->GetFile(index, &desc);
        return FAILED(hr) ? hr : readFileDescription(desc, file);
    }
    HResult getDatabaseFile(std::uint32_t index, VssFileDescription* file) override {
        IVssWMFiledesc* desc = nullptr;
        HRESULT hr = component_->GetDatabaseFile(index, &desc);
        return FAILED(hr) ? hr : readFileDescription(desc, file);
    }
    HResult getDatabaseLogFile(std::uint32_t index, VssFileDescription* file) override {
        IVssWMFiledesc* desc = nullptr;
        HRESULT hr = component_->GetDatabaseLogFile(index, &desc);
        return FAILED(hr) ? hr : readFileDescription(desc, file);
    }

  private:
    ComRef<IVssWMComponent> component_;
};

class Win32WriterMetadata : public VssExamineWriterMetadata {
  public:
    explicit Win32WriterMetadata(IVssExamineWriterMetadata* metadata) : metadata_(metadata) {}

    HResult getIdentity(VssWriterIdentity* identity) override {
        if (identity == nullptr)
            return E_POINTER;
        VSS_ID instance = GUID_NULL, writer = GUID_NULL;
        Bstr name;
        VSS_USAGE_TYPE usage = VSS_UT_UNDEFINED;
        VSS_SOURCE_TYPE source = VSS_ST_UNDEFINED;
        HRESULT hr = metadata_->GetIdentity(&instance, &writer, name.put(), &usage, &source);
        if (FAILED(hr))
            return hr;
        *identity = {fromGUID(instance), fromGUID(writer), name.str(), usage, source};
        return S_OK;
    }
    HResult getRestoreMethod(VssRestoreMethod* method) override {
        if (method == nullptr)
            return E_POINTER;
        VSS_RESTOREMETHOD_ENUM restore = VSS_RME_UNDEFINED;
        VSS_WRITERRESTORE_ENUM writerRestore = VSS_WRE_UNDEFINED;
        Bstr service, procedure;
        boolean reboot = false;
        UINT mappings = 0;
        HRESULT hr = metadata_->GetRestoreMethod(&restore, service.put(), procedure.put(),
                                                 &writerRestore, &reboot, &mappings);
        if (FAILED(hr))
            return hr;
        *method = {restore, service.str(), procedure.str(), writerRestore, reboot != 0, mappings};
        return S_OK;
    }
    HResult getFileCounts(VssFileCounts* counts) override {
        if (counts == nullptr)
            return E_POINTER;
        UINT include = 0, exclude = 0, components = 0;
        HRESULT hr = metadata_->GetFileCounts(&include, &exclude, &components);
        if (SUCCEEDED(hr))
            *counts = {include, exclude, components};
        return hr;
    }
    HResult getExcludeFile(std::uint32_t index, VssFileDescription* file) override {
        IVssWMFiledesc* desc = nullptr;
        HRESULT hr = metadata_->GetExcludeFile(index, &desc);
        return FAILED(hr) ? hr : readFileDescription(desc, file);
    }
    HResult getComponent(std::uint32_t index, std::unique_ptr<VssWMComponent>* component) override {
        if (component == nullptr)
            return E_POINTER;
        IVssWMComponent* raw = nullptr;
        HRESULT hr = metadata_->GetComponent(index, &raw);
        if (SUCCEEDED(hr))
            *component = std::make_unique<Win32Component>(raw);
        return hr;
    }

  private:
    ComRef<IVssExamineWriterMetadata> metadata_;
};

std::wstring copyOf(VSS_PWSZ text) {
    return text != nullptr ? std::wstring(text) : std::wstring();
}

}  // namespace

std::unique_ptr<VssAsync> wrapAsync(IVssAsync* async) {
    return std::make_unique<Win32Async>(async);
}

std::unique_ptr<VssExamineWriterMetadata> wrapWriterMetadata(IVssExamineWriterMetadata* metadata) {
    return std::make_unique<Win32WriterMetadata>(metadata);
}

VssSnapshotProperties takeSnapshotProperties(VSS_SNAPSHOT_PROP& prop) {
    VssSnapshotProperties out;
    out.snapshotId = fromGUID(prop.m_SnapshotId);
    out.snapshotSetId = fromGUID(prop.m_SnapshotSetId);
    out.snapshotsCount = prop.m_lSnapshotsCount;
    out.snapshotDeviceObject = copyOf(prop.m_pwszSnapshotDeviceObject);
    out.originalVolumeName = copyOf(prop.m_pwszOriginalVolumeName);
    out.originatingMachine = copyOf(prop.m_pwszOriginatingMachine);
    out.serviceMachine = copyOf(prop.m_pwszServiceMachine);
    out.exposedName = copyOf(prop.m_pwszExposedName);
    out.exposedPath = copyOf(prop.m_pwszExposedPath);
    out.providerId = fromGUID(prop.m_ProviderId);
    out.snapshotAttributes = prop.m_lSnapshotAttributes;
    out.creationTimestamp = prop.m_tsCreationTimestamp;
    out.status = prop.m_eStatus;
    ::VssFreeSnapshotProperties(&prop);
    return out;
}

}  // namespace platform::win32
