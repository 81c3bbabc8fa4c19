// Installs snapshot views into an emulated host: the devices
// "\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopyN" (and files inside them), read-only
// volume devices over the snapshot's point-in-time bytes, and the copy-on-write observer
// that keeps those bytes while the live volume changes (see snapshot/SnapshotRegistry.h).
#include <cwctype>

#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/WideText.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/snapshot/FileLock.h"
#include "platform/emulated/snapshot/SnapshotRegistry.h"
#include "platform/emulated/snapshot/SnapshotView.h"
#include "platform/emulated/storage/VolumeDevice.h"

namespace platform::emulated {
namespace {

// One per open handle: the view keeps the store and the images open until it closes.
class SnapshotSource : public VolumeByteSource {
  public:
    SnapshotSource(std::uint64_t length, std::unique_ptr<SnapshotView> view)
        : length_(length), view_(std::move(view)) {}
    std::uint64_t size() const override { return length_; }
    bool read(std::uint64_t offset, void* buffer, std::size_t length) override {
        return view_->read(offset, buffer, length);
    }

  private:
    std::uint64_t length_;
    std::unique_ptr<SnapshotView> view_;
};

class SnapshotDeviceProvider : public DeviceProvider {
  public:
    explicit SnapshotDeviceProvider(Host& host) : host_(host) {}

    bool claims(const std::wstring& path) const override {
        return startsWithIgnoringCase(path, kShadowCopyDevicePrefix);
    }

    std::unique_ptr<OpenFile> open(const OpenRequest& request) override {
        std::wstring rest = request.path.substr(std::wstring(kShadowCopyDevicePrefix).size());
        std::size_t digits = 0;
        while (digits < rest.size() && digits < 9 && std::iswdigit(rest[digits]))
            ++digits;
        if (digits == 0 || (digits < rest.size() && rest[digits] != L'\\')) {
            setLastError(kErrorFileNotFound);
            return nullptr;
        }
        auto number = static_cast<std::uint32_t>(std::stoul(toNarrow(rest.substr(0, digits))));
        SnapshotRegistry registry(host_);
        std::optional<SnapshotRecord> snapshot = registry.find(number);
        std::unique_ptr<SnapshotView> view;
        if (snapshot)
            view = SnapshotView::open(host_, *snapshot, registry.storeDir(number));
        if (!view) {
            // Deleted, or deleted between the look-up and the open.
            setLastError(kErrorFileNotFound);
            return nullptr;
        }
        VolumeDeviceInfo info;
        info.faultVolume = snapshot->volumeName;
        info.host = &host_;
        auto source = std::make_shared<SnapshotSource>(snapshot->length, std::move(view));
        return openVolumePath(std::move(source), info, rest.substr(digits), request);
    }

  private:
    Host& host_;
};

class CopyOnWriteObserver : public DiskWriteObserver {
  public:
    explicit CopyOnWriteObserver(Host& host) : registry_(host) {}
    void beforeDiskWrite(std::uint32_t diskNumber, std::uint64_t offset,
                         std::uint64_t length) override {
        std::unique_ptr<FileLock> hold;
        try {
            hold = registry_.holdWrites();
            registry_.preserve(diskNumber, offset, length);
        } catch (const std::exception&) {
            // The lock file itself failed; the write goes on, as a real volume's would.
        }
        holds().push_back(std::move(hold));
    }
    void afterDiskWrite(std::uint32_t, std::uint64_t, std::uint64_t) override {
        if (!holds().empty())
            holds().pop_back();
    }

  private:
    // The holds of this thread's writes in progress (a write may nest inside another's
    // observers), released as each write ends.
    static std::vector<std::unique_ptr<FileLock>>& holds() {
        thread_local std::vector<std::unique_ptr<FileLock>> writes;
        return writes;
    }

    SnapshotRegistry registry_;
};

}  // namespace

void registerSnapshotDevices(Host& host) {
    host.devices().add(std::make_unique<SnapshotDeviceProvider>(host));
    host.addWriteObserver(std::make_shared<CopyOnWriteObserver>(host));
}

}  // namespace platform::emulated
