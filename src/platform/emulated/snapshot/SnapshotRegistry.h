// The snapshots of an emulated host, shared by every process that uses the host.
//
// State under the host root, changed only under the lock file snapshots/lock:
//   snapshots/registry   one line per live snapshot (absent while there is none)
//   snapshots/counter    the number the next snapshot gets (N of ...ShadowCopyN)
//   snapshots/N/map      one bit per 4 KiB chunk of the volume: set once the chunk's old
//                        contents are saved; then one byte, set before the store is
//                        deleted (see SnapshotView.h)
//   snapshots/N/data     the saved chunks at their volume offsets (a sparse file)
//
// Copy-on-write: creating a snapshot copies nothing. Before any write to a disk image
// (DiskWriteObserver::beforeDiskWrite) the chunks it would overwrite are saved for every
// live snapshot of a volume on that disk; a snapshot read takes saved chunks from its store
// and all others from the disk image.
//
// Lifetime: a snapshot belongs to the process that created it (process ID and start time
// are recorded) and is deleted when the backup-components object that created it is
// released. A process that dies without releasing it leaves a stale entry; every change
// of the registry (a new snapshot, a deletion, a copy-on-write) first deletes the entries
// whose owner no longer runs, and reads leave them out, so a crashed agent never blocks
// later snapshots nor slows writes for long.
//
// Writes are held while a snapshot is created, as Windows does: every disk write holds
// snapshots/hold shared from before its copy-on-write until it has ended (see
// holdWrites), and creation holds it exclusively. A write is therefore wholly in a
// snapshot or wholly after it; the driver records it before either (ChangeRecorder.h).
//
// Two settings of host.conf's [snapshot] section serve tests:
//   driver-reset-at-creation = yes   the change-tracking driver loses its state (as after
//                                    a reboot) at every creation
//   cluster-digests = yes            creation records a digest of every 4 KiB chunk of the
//                                    volume as the snapshot holds it, in
//                                    snapshots/digests/N (8-byte little-endian FNV-1a
//                                    each), kept after the snapshot is deleted, so what a
//                                    restore point holds can be checked against it
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Com.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/storage/HostLayout.h"

namespace platform::emulated {

class FileLock;

constexpr std::uint64_t kSnapshotChunk = 4096;

struct SnapshotRecord {
    std::uint32_t number = 0;
    int ownerPid = 0;
    std::uint64_t ownerStart = 0;
    Guid snapshotId;
    Guid setId;
    std::int64_t created = 0;  // 100-ns intervals since 1601, as FILETIME
    std::uint64_t length = 0;
    std::wstring volumeName;  // the name given to AddToSnapshotSet
    std::vector<VolumeExtent> extents;

    // "\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopyN"
    std::wstring deviceObject() const;
};

// The device path prefix of snapshot devices (followed by the number).
extern const wchar_t* const kShadowCopyDevicePrefix;

class SnapshotRegistry {
  public:
    explicit SnapshotRegistry(Host& host);

    // Registers a snapshot owned by this process with an empty store; fills in its number.
    // Throws std::runtime_error or std::system_error when the host root cannot be written.
    SnapshotRecord create(SnapshotRecord record);
    // Deletes the snapshot and its store (nothing when it is gone already).
    void remove(std::uint32_t number);
    // Live snapshots (entries of dead owners left out).
    std::vector<SnapshotRecord> live() const;
    std::optional<SnapshotRecord> find(std::uint32_t number) const;

    // Holds writes back from snapshot creation from now until the returned lock goes
    // (shared with other writes).
    std::unique_ptr<FileLock> holdWrites();
    // Copy-on-write before bytes [offset, offset + length) of the disk change.
    void preserve(std::uint32_t diskNumber, std::uint64_t offset, std::uint64_t length);

    // Where the snapshot's map and saved chunks are (read them through SnapshotView).
    std::filesystem::path storeDir(std::uint32_t number) const;

    // This process's identity as recorded in entries.
    static int currentPid();
    static std::uint64_t processStart(int pid);

    // The chunk digests recorded at the snapshot's creation (empty when none were).
    static std::uint64_t chunkDigest(const std::uint8_t* bytes, std::size_t length);
    std::vector<std::uint64_t> creationDigests(std::uint32_t number) const;

  private:
    void recordDigests(const SnapshotRecord& record);
    std::vector<SnapshotRecord> load() const;
    void save(const std::vector<SnapshotRecord>& records) const;
    // Loads, deletes the stores of dead owners and saves when any was found.
    std::vector<SnapshotRecord> loadPruned();
    // Marks the store retired for open views, then deletes it.
    void deleteStore(const SnapshotRecord& snapshot) const;

    Host& host_;
    std::filesystem::path dir_;
};

}  // namespace platform::emulated
