// Copy-on-write and reads of the snapshot registry's stores (see SnapshotRegistry.h).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <system_error>
#include <vector>

#include "platform/Errors.h"
#include "platform/EventLog.h"
#include "platform/System.h"
#include "platform/emulated/snapshot/EventLogFile.h"
#include "platform/emulated/snapshot/ExtentReader.h"
#include "platform/emulated/snapshot/FileLock.h"
#include "platform/emulated/snapshot/SnapshotRegistry.h"

namespace platform::emulated {
namespace {

// The stored bits of chunks [first, last], read in one piece.
class ChunkMap {
  public:
    ChunkMap(int fd, std::uint64_t first, std::uint64_t last)
        : fd_(fd),
          firstByte_(first / 8),
          bytes_(static_cast<std::size_t>(last / 8 - first / 8 + 1)) {}

    bool load() {
        return ::pread(fd_, bytes_.data(), bytes_.size(), static_cast<off_t>(firstByte_)) >= 0;
    }
    bool saved(std::uint64_t chunk) const { return (byteOf(chunk) >> (chunk % 8) & 1) != 0; }
    void markSaved(std::uint64_t chunk) {
        std::uint8_t& byte = bytes_[static_cast<std::size_t>(chunk / 8 - firstByte_)];
        byte = static_cast<std::uint8_t>(byte | (1u << (chunk % 8)));
        if (::pwrite(fd_, &byte, 1, static_cast<off_t>(chunk / 8)) != 1)
            throw std::system_error(errno, std::generic_category(), "cannot write snapshot map");
    }

  private:
    std::uint8_t byteOf(std::uint64_t chunk) const {
        return bytes_[static_cast<std::size_t>(chunk / 8 - firstByte_)];
    }

    int fd_;
    std::uint64_t firstByte_;
    std::vector<std::uint8_t> bytes_;
};

FileDescriptor openStore(const std::filesystem::path& file, int flags) {
    return FileDescriptor(::open(file.c_str(), flags | O_CLOEXEC));
}

// Saves the old contents of the chunks that hold volume bytes [begin, end).
void saveChunks(Host& host, const std::filesystem::path& store, const SnapshotRecord& snapshot,
                std::uint64_t begin, std::uint64_t end) {
    FileDescriptor mapFile = openStore(store / "map", O_RDWR);
    FileDescriptor data = openStore(store / "data", O_RDWR);
    if (!mapFile.valid() || !data.valid())
        throw std::system_error(errno, std::generic_category(),
                                "cannot open snapshot store " + store.string());
    std::uint64_t first = begin / kSnapshotChunk;
    std::uint64_t last = (end - 1) / kSnapshotChunk;
    ChunkMap map(mapFile.get(), first, last);
    if (!map.load())
        throw std::system_error(errno, std::generic_category(), "cannot read snapshot map");
    ExtentReader volume(host, snapshot.extents);
    std::vector<std::uint8_t> buffer(kSnapshotChunk);
    for (std::uint64_t chunk = first; chunk <= last; ++chunk) {
        if (map.saved(chunk))
            continue;
        std::uint64_t start = chunk * kSnapshotChunk;
        auto size = static_cast<std::size_t>(std::min(kSnapshotChunk, snapshot.length - start));
        if (!volume.read(start, buffer.data(), size))
            throw std::runtime_error("cannot read the volume's old contents");
        if (::pwrite(data.get(), buffer.data(), size, static_cast<off_t>(start)) !=
            static_cast<ssize_t>(size))
            throw std::system_error(errno, std::generic_category(), "cannot write snapshot store");
        map.markSaved(chunk);
    }
}

// A snapshot that can no longer keep its point in time is deleted, as Windows does when
// the storage area overflows, and the event log says why.
void abandon(Host& host, const SnapshotRecord& snapshot, const std::exception& error) {
    try {
        EventLogFile(host, L"Application")
            .append(L"VOLSNAP", kEventTypeError, 14,
                    {L"The shadow copies of volume " + snapshot.volumeName + L" were aborted: " +
                     toWide(error.what())});
    } catch (const std::exception&) {
        // The snapshot goes all the same.
    }
}

}  // namespace

void SnapshotRegistry::preserve(std::uint32_t diskNumber, std::uint64_t offset,
                                std::uint64_t length) {
    if (length == 0 || !std::filesystem::exists(dir_ / "registry"))
        return;
    FileLock lock(dir_ / "lock", FileLock::Mode::exclusive);
    std::vector<SnapshotRecord> records = loadPruned();
    std::vector<SnapshotRecord> kept;
    for (const SnapshotRecord& snapshot : records) {
        try {
            std::uint64_t volumeBase = 0;
            for (const VolumeExtent& extent : snapshot.extents) {
                std::uint64_t begin = std::max(offset, extent.offset);
                std::uint64_t end = std::min(offset + length, extent.offset + extent.length);
                if (extent.diskNumber == diskNumber && begin < end)
                    saveChunks(host_, storeDir(snapshot.number), snapshot,
                               volumeBase + begin - extent.offset,
                               volumeBase + end - extent.offset);
                volumeBase += extent.length;
            }
            kept.push_back(snapshot);
        } catch (const std::exception& error) {
            abandon(host_, snapshot, error);
            deleteStore(snapshot);
        }
    }
    if (kept.size() != records.size())
        save(kept);
}

}  // namespace platform::emulated
