// The emulated snapshot service's backup-components object (see SnapshotConfig.h for what
// host.conf declares and SnapshotRegistry.h for the snapshots themselves).
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <memory>

#include "platform/EventLog.h"
#include "platform/System.h"
#include "platform/Vss.h"
#include "platform/emulated/snapshot/ComState.h"
#include "platform/emulated/snapshot/EmulatedAsync.h"
#include "platform/emulated/snapshot/EventLogFile.h"
#include "platform/emulated/snapshot/GuidText.h"
#include "platform/emulated/snapshot/ServiceState.h"
#include "platform/emulated/snapshot/SnapshotEnumeration.h"
#include "platform/emulated/snapshot/WriterMetadata.h"
#include "platform/emulated/storage/HostLayout.h"

namespace platform::emulated {
namespace {

// Windows takes at most 64 volumes into one snapshot set.
constexpr std::size_t kMaxVolumesPerSet = 64;

class EmulatedBackupComponents : public VssBackupComponents {
  public:
    explicit EmulatedBackupComponents(std::shared_ptr<ServiceState> state)
        : state_(std::move(state)) {}

    HResult initializeForBackup(const std::wstring*) override {
        if (HResult hr = state_->injectedFailure("InitializeForBackup"); failed(hr))
            return hr;
        if (state_->initialized)
            return kVssEBadState;
        state_->initialized = true;
        return kSOk;
    }

    HResult setBackupState(bool, bool, std::int32_t backupType, bool) override {
        if (HResult hr = state_->injectedFailure("SetBackupState"); failed(hr))
            return hr;
        if (!state_->initialized)
            return kVssEBadState;
        if (backupType < 1 || backupType > 5)
            return kEInvalidArg;
        state_->backupStateSet = true;
        return kSOk;
    }

    HResult gatherWriterMetadata(std::unique_ptr<VssAsync>* async) override {
        return startAsync("GatherWriterMetadata", state_->initialized, async, [](ServiceState& s) {
            s.metadataGathered = true;
            return kSOk;
        });
    }

    HResult getWriterMetadataCount(std::uint32_t* count) override {
        if (count == nullptr)
            return kEPointer;
        if (!state_->metadataGathered)
            return kVssEBadState;
        *count = static_cast<std::uint32_t>(state_->config.writers().size());
        return kSOk;
    }

    HResult getWriterMetadata(std::uint32_t index, Guid* instanceId,
                              std::unique_ptr<VssExamineWriterMetadata>* metadata) override {
        if (instanceId == nullptr || metadata == nullptr)
            return kEPointer;
        if (!state_->metadataGathered)
            return kVssEBadState;
        if (index >= state_->config.writers().size())
            return kEInvalidArg;
        const WriterConfig& writer = state_->config.writers()[index];
        *instanceId = writer.identity.instanceId;
        *metadata = makeWriterMetadata(writer);
        return kSOk;
    }

    HResult freeWriterMetadata() override {
        state_->metadataGathered = false;
        return kSOk;
    }

    HResult addComponent(const Guid& instanceId, const Guid& writerId, std::int32_t type,
                         const std::wstring& logicalPath, const std::wstring& name) override {
        if (HResult hr = state_->injectedFailure("AddComponent"); failed(hr))
            return hr;
        if (!state_->backupStateSet || state_->snapshotsDone)
            return kVssEBadState;
        if (!hasComponent(instanceId, writerId, logicalPath, name))
            return kVssEObjectNotFound;
        state_->components.push_back({instanceId, writerId, type, logicalPath, name, false});
        return kSOk;
    }

    HResult gatherWriterStatus(std::unique_ptr<VssAsync>* async) override {
        return startAsync("GatherWriterStatus", state_->initialized, async, [](ServiceState& s) {
            s.statusGathered = true;
            return kSOk;
        });
    }

    HResult getWriterStatusCount(std::uint32_t* count) override {
        if (count == nullptr)
            return kEPointer;
        if (!state_->statusGathered)
            return kVssEBadState;
        *count = static_cast<std::uint32_t>(state_->config.writers().size());
        return kSOk;
    }

    HResult getWriterStatus(std::uint32_t index, VssWriterStatus* status) override {
        if (status == nullptr)
            return kEPointer;
        if (!state_->statusGathered)
            return kVssEBadState;
        if (index >= state_->config.writers().size())
            return kEInvalidArg;
        const WriterConfig& writer = state_->config.writers()[index];
        auto after = writer.stateAfter.find(state_->lastStep);
        const WriterState& reported =
            after != writer.stateAfter.end() ? after->second : writer.state;
        *status = {writer.identity.instanceId, writer.identity.writerId, writer.identity.writerName,
                   reported.state, reported.failure};
        return kSOk;
    }

    HResult freeWriterStatus() override {
        state_->statusGathered = false;
        return kSOk;
    }

    HResult startSnapshotSet(Guid* snapshotSetId) override {
        if (snapshotSetId == nullptr)
            return kEPointer;
        if (HResult hr = state_->injectedFailure("StartSnapshotSet"); failed(hr))
            return hr;
        if (!state_->initialized)
            return kVssEBadState;
        if (state_->setStarted)
            return kVssESnapshotSetInProgress;
        state_->setStarted = true;
        state_->setId = newGuid();
        *snapshotSetId = state_->setId;
        return kSOk;
    }

    HResult addToSnapshotSet(const std::wstring& volumeName, const Guid& providerId,
                             Guid* snapshotId) override;

    HResult prepareForBackup(std::unique_ptr<VssAsync>* async) override {
        return startAsync("PrepareForBackup", state_->setStarted && !state_->snapshotsDone, async,
                          [](ServiceState& s) {
                              s.lastStep = "PrepareForBackup";
                              return kSOk;
                          });
    }

    HResult doSnapshotSet(std::unique_ptr<VssAsync>* async) override {
        bool ready = state_->setStarted && !state_->snapshotsDone && !state_->pending.empty();
        return startAsync("DoSnapshotSet", ready, async,
                          [](ServiceState& s) { return s.takeSnapshots(); });
    }

    HResult setBackupSucceeded(const Guid& instanceId, const Guid& writerId, std::int32_t,
                               const std::wstring& logicalPath, const std::wstring& name,
                               bool) override {
        if (HResult hr = state_->injectedFailure("SetBackupSucceeded"); failed(hr))
            return hr;
        if (!state_->snapshotsDone)
            return kVssEBadState;
        for (AddedComponent& c : state_->components) {
            if (c.instanceId == instanceId && c.writerId == writerId &&
                c.logicalPath == logicalPath && c.name == name) {
                c.reported = true;
                return kSOk;
            }
        }
        return kVssEObjectNotFound;
    }

    HResult backupComplete(std::unique_ptr<VssAsync>* async) override {
        return startAsync("BackupComplete", state_->snapshotsDone, async, [](ServiceState& s) {
            s.lastStep = "BackupComplete";
            return kSOk;
        });
    }

    HResult abortBackup() override {
        if (HResult hr = state_->injectedFailure("AbortBackup"); failed(hr))
            return hr;
        if (!state_->setStarted)
            return kVssEBadState;
        state_->lastStep = "AbortBackup";
        state_->pending.clear();
        state_->releaseSnapshots();
        return kSOk;
    }

    HResult saveAsXml(std::wstring* xml) override;

    HResult querySnapshots(std::unique_ptr<VssEnumSnapshots>* snapshots) override {
        if (snapshots == nullptr)
            return kEPointer;
        if (HResult hr = state_->injectedFailure("Query"); failed(hr))
            return hr;
        std::vector<VssSnapshotProperties> all = allSnapshotProperties(state_->host);
        bool none = all.empty();
        *snapshots = makeSnapshotEnumeration(std::move(all));
        return none ? kSFalse : kSOk;
    }

    HResult getSnapshotProperties(const Guid& snapshotId,
                                  VssSnapshotProperties* properties) override {
        if (properties == nullptr)
            return kEPointer;
        if (HResult hr = state_->injectedFailure("GetSnapshotProperties"); failed(hr))
            return hr;
        for (VssSnapshotProperties& p : allSnapshotProperties(state_->host)) {
            if (p.snapshotId == snapshotId) {
                *properties = std::move(p);
                return kSOk;
            }
        }
        return kVssEObjectNotFound;
    }

  private:
    template <typename Completion>
    HResult startAsync(const std::string& step, bool allowed, std::unique_ptr<VssAsync>* async,
                       Completion completion) {
        if (async == nullptr)
            return kEPointer;
        if (!allowed)
            return kVssEBadState;
        std::shared_ptr<ServiceState> state = state_;
        *async = std::make_unique<EmulatedAsync>(
            state_->config.step(step), [state, completion] { return completion(*state); },
            [state, step](HResult code) { state->logFailure(step, code); });
        return kSOk;
    }

    bool hasComponent(const Guid& instanceId, const Guid& writerId, const std::wstring& logicalPath,
                      const std::wstring& name) const {
        const WriterConfig* writer = state_->writer(instanceId, writerId);
        if (writer == nullptr)
            return false;
        return std::any_of(writer->components.begin(), writer->components.end(),
                           [&](const VssComponentInfo& c) {
                               return c.logicalPath == logicalPath && c.componentName == name;
                           });
    }

    std::shared_ptr<ServiceState> state_;
};

HResult EmulatedBackupComponents::addToSnapshotSet(const std::wstring& volumeName,
                                                   const Guid& providerId, Guid* snapshotId) {
    if (snapshotId == nullptr)
        return kEPointer;
    if (HResult hr = state_->injectedFailure("AddToSnapshotSet"); failed(hr))
        return hr;
    if (!state_->setStarted || state_->snapshotsDone)
        return kVssEBadState;
    if (!providerId.isNull() && providerId != emulatedProviderId())
        return kVssEObjectNotFound;
    HostLayout layout = HostLayout::load(state_->host);
    const VolumeInfo* volume = layout.findVolume(volumeName);
    if (volume == nullptr)
        return kVssEObjectNotFound;
    if (volume->kind == VolumeKind::Optical || volume->media != DiskMedia::Fixed ||
        volume->length == 0)
        return kVssEVolumeNotSupported;
    for (const PendingSnapshot& p : state_->pending) {
        if (p.extents == volume->extents)
            return kVssEObjectAlreadyExists;
    }
    if (state_->pending.size() >= kMaxVolumesPerSet)
        return kVssEMaximumNumberOfVolumesReached;
    PendingSnapshot added{volumeName, newGuid(), volume->extents, volume->length};
    state_->pending.push_back(added);
    *snapshotId = added.snapshotId;
    return kSOk;
}

HResult EmulatedBackupComponents::saveAsXml(std::wstring* xml) {
    if (xml == nullptr)
        return kEPointer;
    if (!state_->initialized)
        return kVssEBadState;
    std::wstring text =
        L"<BACKUP_COMPONENTS xmlns=\"x-schema:#VssComponentMetadata\" snapshotSetId=\"" +
        toWide(guidText(state_->setId)) + L"\">";
    for (const AddedComponent& c : state_->components) {
        text += L"<WRITER_COMPONENTS instanceId=\"" + toWide(guidText(c.instanceId)) +
                L"\" writerId=\"" + toWide(guidText(c.writerId)) + L"\"><COMPONENT logicalPath=\"" +
                c.logicalPath + L"\" componentName=\"" + c.name + L"\"/></WRITER_COMPONENTS>";
    }
    *xml = text + L"</BACKUP_COMPONENTS>";
    return kSOk;
}

}  // namespace
}  // namespace platform::emulated

namespace platform {

HResult createVssBackupComponents(std::unique_ptr<VssBackupComponents>* components) {
    if (components == nullptr)
        return kEPointer;
    if (!emulated::comInitializedOnThisThread())
        return kCoENotInitialized;
    emulated::Host& host = emulated::Host::current();
    std::shared_ptr<emulated::ServiceState> state;
    try {
        state = std::make_shared<emulated::ServiceState>(host);
    } catch (const std::exception& error) {
        // A malformed host.conf: say why where a Windows administrator would look.
        emulated::EventLogFile(host, L"Application")
            .append(L"VSS", kEventTypeError, 8193,
                    {L"Volume Shadow Copy Service error: " + toWide(error.what())});
        return kEUnexpected;
    }
    if (HResult hr = state->injectedFailure("CreateVssBackupComponents"); failed(hr))
        return hr;
    *components = std::make_unique<emulated::EmulatedBackupComponents>(std::move(state));
    return kSOk;
}

}  // namespace platform
