// The NTFS volume inside a restore point, opened read-only with libntfs-3g. The library
// reads through a device whose every read is answered from the point's chunks, each read
// and checked by the store's chunk reader when first needed: listing a folder or reading
// one file reads only the chunks under the metadata and data it touches. No copy of the
// volume is made; memory is a few decoded chunks. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "backup-server/store/PointReader.h"
#include "backup-server/store/Store.h"

struct _ntfs_volume;

namespace backup_server {

// What the device read from the store so far.
struct PointReadCounters {
    std::uint64_t chunksRead = 0;   // chunk files read and checked (cache misses)
    std::uint64_t chunkBytes = 0;   // their size in the store
    std::uint64_t deviceBytes = 0;  // bytes the library asked the device for
};

class PointVolume {
  public:
    // Checks the point's index against the catalogue and mounts its NTFS read-only.
    // Throws runtime::AgentException when the index is damaged or the point holds no NTFS
    // the library can read (the reason, and a damaged chunk's name, in the message).
    PointVolume(const Store& store, const PointRecord& point);
    ~PointVolume();
    PointVolume(const PointVolume&) = delete;
    PointVolume& operator=(const PointVolume&) = delete;

    _ntfs_volume* volume() const { return volume_; }
    const PointRecord& point() const;
    PointReadCounters counters() const;
    // The last chunk problem the device met since the previous call (empty when none),
    // so that an I/O error from the library can name its cause.
    std::string takeProblem();

    class Device;

  private:
    std::unique_ptr<Device> device_;
    _ntfs_volume* volume_ = nullptr;
};

}  // namespace backup_server
