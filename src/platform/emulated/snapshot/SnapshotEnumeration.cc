#include "platform/emulated/snapshot/SnapshotEnumeration.h"

#include <unistd.h>

#include <algorithm>

#include "platform/System.h"
#include "platform/emulated/snapshot/GuidText.h"
#include "platform/emulated/snapshot/SnapshotRegistry.h"

namespace platform::emulated {
namespace {

std::wstring machineName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return L"localhost";
    return toWide(name);
}

class SnapshotEnumeration : public VssEnumSnapshots {
  public:
    explicit SnapshotEnumeration(std::vector<VssSnapshotProperties> snapshots)
        : snapshots_(std::move(snapshots)) {}

    HResult next(VssSnapshotProperties* snapshot, std::uint32_t* fetched) override {
        if (snapshot == nullptr || fetched == nullptr)
            return kEPointer;
        if (position_ >= snapshots_.size()) {
            *fetched = 0;
            return kSFalse;
        }
        *snapshot = snapshots_[position_++];
        *fetched = 1;
        return kSOk;
    }

  private:
    std::vector<VssSnapshotProperties> snapshots_;
    std::size_t position_ = 0;
};

}  // namespace

Guid emulatedProviderId() {
    return guidFromName("emulated snapshot provider");
}

std::vector<VssSnapshotProperties> allSnapshotProperties(Host& host) {
    std::vector<SnapshotRecord> records = SnapshotRegistry(host).live();
    std::wstring machine = machineName();
    std::vector<VssSnapshotProperties> all;
    for (const SnapshotRecord& r : records) {
        VssSnapshotProperties p;
        p.snapshotId = r.snapshotId;
        p.snapshotSetId = r.setId;
        p.snapshotsCount = static_cast<std::int32_t>(
            std::count_if(records.begin(), records.end(),
                          [&](const SnapshotRecord& other) { return other.setId == r.setId; }));
        p.snapshotDeviceObject = r.deviceObject();
        p.originalVolumeName = r.volumeName;
        p.originatingMachine = machine;
        p.serviceMachine = machine;
        p.providerId = emulatedProviderId();
        p.creationTimestamp = r.created;
        p.status = kVssSsCreated;
        all.push_back(std::move(p));
    }
    return all;
}

std::unique_ptr<VssEnumSnapshots> makeSnapshotEnumeration(
    std::vector<VssSnapshotProperties> snapshots) {
    return std::make_unique<SnapshotEnumeration>(std::move(snapshots));
}

}  // namespace platform::emulated
