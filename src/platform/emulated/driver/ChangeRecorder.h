// The emulated driver's filter: told about every write to a disk image, it records a
// change for each volume the written range touches, in 512-byte sectors relative to the
// volume (a spanned volume counts its extents in order).
//
// Like the real driver after a reboot, it records nothing until the agent switches
// tracking on (state 1): the agent discards everything queued before that moment anyway,
// since it cannot know what it missed.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/emulated/Host.h"
#include "platform/emulated/storage/HostLayout.h"

namespace platform::emulated {

constexpr std::uint64_t kDriverSectorSize = 512;

struct TrackedVolume {
    std::wstring guidPath;
    std::vector<VolumeExtent> extents;  // in volume order
};

struct VolumeWrite {
    std::wstring guidPath;
    std::uint64_t firstSector = 0;
    std::uint64_t sectorCount = 0;
    bool operator==(const VolumeWrite&) const = default;
};

// The parts of the disk range [offset, offset + length) that fall inside each volume.
std::vector<VolumeWrite> volumeWritesFor(const std::vector<TrackedVolume>& volumes,
                                         std::uint32_t diskNumber, std::uint64_t offset,
                                         std::uint64_t length);

// The host's volumes with their extents, as the storage describes them now.
std::vector<TrackedVolume> trackedVolumesOf(Host& host);

// trackedVolumesOf, kept between writes: a restore writes thousands of blocks, and
// describing the storage afresh for each costs more than the write. The copy is used
// only while host.conf, the disks/ folder, every image's identity and size and every
// partition-table sector are unchanged, so a change by any process is seen at once.
class TrackedVolumeCache {
  public:
    std::vector<TrackedVolume> current(Host& host);

  private:
    struct Fingerprint;
    static Fingerprint fingerprint(Host& host, const std::vector<DiskInfo>& disks);

    std::mutex mutex_;  // guards the cached description below
    std::shared_ptr<const Fingerprint> fingerprint_;
    std::vector<DiskInfo> disks_;
    std::vector<TrackedVolume> volumes_;
};

class ChangeRecorder : public DiskWriteObserver {
  public:
    explicit ChangeRecorder(Host& host) : host_(host) {}
    // A filter driver records a write on its way down, before the disk has it: a snapshot
    // that holds the write is always taken after the record.
    void beforeDiskWrite(std::uint32_t diskNumber, std::uint64_t offset,
                         std::uint64_t length) override;
    // A record the agent took while its write was still on the way may have gone into a
    // period that ended, with a snapshot, before the write landed: that snapshot lacks the
    // write and the next period would not know of it. Such a write is recorded once more
    // when it completes, so it belongs to the period it landed in too.
    void afterDiskWrite(std::uint32_t diskNumber, std::uint64_t offset,
                        std::uint64_t length) override;

  private:
    void dropTracking(const std::exception& error);
    // The sequence number of the write's last record, when the driver kept it.
    std::optional<std::uint64_t> record(std::uint32_t diskNumber, std::uint64_t offset,
                                        std::uint64_t length);

    Host& host_;
    TrackedVolumeCache volumes_;
};

}  // namespace platform::emulated
