// One open view of a snapshot's point-in-time bytes, for the life of a device handle.
//
// The store's files and the disk images are opened once, and the chunk map is mapped
// into memory, so a read costs one pread of the live image in the common case (no chunk
// saved yet) and takes no lock. It stays exact while another process writes the live
// volume, because a writer saves a chunk and sets its map bit before it changes the
// image, and map bits are never cleared: a read takes the unsaved chunks from the image
// and then looks at their bits again; any chunk saved meanwhile is read again from the
// store, and a chunk still unsaved cannot have changed before that second look.
//
// A snapshot that is deleted (released, abandoned, or its owner died) has its map's
// retired mark set before the store goes; reads through an open view then fail with
// kErrorNotReady. On Windows the same reads fail with a device error once the shadow
// copy is gone; the emulation cannot see a store removed without the mark (by hand).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/emulated/snapshot/ExtentReader.h"
#include "platform/emulated/snapshot/SnapshotRegistry.h"
#include "platform/emulated/storage/DiskImage.h"

namespace platform::emulated {

// Bytes of a store's map file for a snapshot of `length` bytes: one bit per chunk, then
// the retired mark.
std::uint64_t snapshotMapBytes(std::uint64_t length);
// Sets the retired mark of the store in `store` (nothing when its map cannot be opened).
void retireSnapshotStore(const std::filesystem::path& store, std::uint64_t length);

class SnapshotView {
  public:
    // Null with the last error set (kErrorNotReady) when the store cannot be opened.
    static std::unique_ptr<SnapshotView> open(Host& host, const SnapshotRecord& snapshot,
                                              const std::filesystem::path& store);
    ~SnapshotView();
    SnapshotView(const SnapshotView&) = delete;
    SnapshotView& operator=(const SnapshotView&) = delete;

    // False with the last error set: kErrorSectorNotFound outside the snapshot,
    // kErrorNotReady once it is deleted, kErrorReadFault when a file cannot be read.
    // Safe to call from several threads.
    bool read(std::uint64_t offset, void* buffer, std::size_t length);

  private:
    SnapshotView(Host& host, const SnapshotRecord& snapshot, FileDescriptor data,
                 const std::uint8_t* map, std::size_t mapBytes);
    bool saved(std::uint64_t chunk) const;
    bool retired() const;
    // Chunks [first, last] from the image (unsaved) or the store (saved), in runs.
    bool readChunks(std::uint64_t offset, std::uint8_t* out, std::size_t length,
                    std::uint64_t first, std::uint64_t last, bool fromStore);

    std::mutex imageMutex_;  // guards the ExtentReader, which opens images lazily
    std::uint64_t length_;
    FileDescriptor data_;
    const std::uint8_t* map_;
    std::size_t mapBytes_;
    ExtentReader volume_;
};

}  // namespace platform::emulated
