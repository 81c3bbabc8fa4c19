#include "platform/emulated/snapshot/SnapshotView.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/Errors.h"
#include "platform/System.h"

namespace platform::emulated {

std::uint64_t snapshotMapBytes(std::uint64_t length) {
    std::uint64_t chunks = (length + kSnapshotChunk - 1) / kSnapshotChunk;
    return (chunks + 7) / 8 + 1;
}

void retireSnapshotStore(const std::filesystem::path& store, std::uint64_t length) {
    FileDescriptor map(::open((store / "map").c_str(), O_WRONLY | O_CLOEXEC));
    const std::uint8_t mark = 1;
    if (map.valid())
        (void)!::pwrite(map.get(), &mark, 1, static_cast<off_t>(snapshotMapBytes(length) - 1));
}

std::unique_ptr<SnapshotView> SnapshotView::open(Host& host, const SnapshotRecord& snapshot,
                                                 const std::filesystem::path& store) {
    FileDescriptor mapFile(::open((store / "map").c_str(), O_RDONLY | O_CLOEXEC));
    FileDescriptor data(::open((store / "data").c_str(), O_RDONLY | O_CLOEXEC));
    auto mapBytes = static_cast<std::size_t>(snapshotMapBytes(snapshot.length));
    struct stat status {};
    if (!mapFile.valid() || !data.valid() || ::fstat(mapFile.get(), &status) != 0 ||
        static_cast<std::uint64_t>(status.st_size) < mapBytes) {
        setLastError(kErrorNotReady);
        return nullptr;
    }
    // Shared: bits set by writers in other processes show through at once.
    void* map = ::mmap(nullptr, mapBytes, PROT_READ, MAP_SHARED, mapFile.get(), 0);
    if (map == MAP_FAILED) {
        setLastError(kErrorNotReady);
        return nullptr;
    }
    return std::unique_ptr<SnapshotView>(new SnapshotView(
        host, snapshot, std::move(data), static_cast<const std::uint8_t*>(map), mapBytes));
}

SnapshotView::SnapshotView(Host& host, const SnapshotRecord& snapshot, FileDescriptor data,
                           const std::uint8_t* map, std::size_t mapBytes)
    : length_(snapshot.length),
      data_(std::move(data)),
      map_(map),
      mapBytes_(mapBytes),
      volume_(host, snapshot.extents) {}

SnapshotView::~SnapshotView() {
    ::munmap(const_cast<std::uint8_t*>(map_), mapBytes_);
}

bool SnapshotView::saved(std::uint64_t chunk) const {
    // Sequentially consistent: the second look at a bit must not happen before the image
    // read of the first pass (the read is a system call, which the compiler and the
    // processor do not move loads across either).
    std::uint8_t byte = __atomic_load_n(&map_[chunk / 8], __ATOMIC_SEQ_CST);
    return (byte >> (chunk % 8) & 1) != 0;
}

bool SnapshotView::retired() const {
    return __atomic_load_n(&map_[mapBytes_ - 1], __ATOMIC_SEQ_CST) != 0;
}

bool SnapshotView::readChunks(std::uint64_t offset, std::uint8_t* out, std::size_t length,
                              std::uint64_t first, std::uint64_t last, bool fromStore) {
    std::uint64_t chunk = first;
    while (chunk <= last) {
        if (saved(chunk) != fromStore) {
            ++chunk;
            continue;
        }
        std::uint64_t end = chunk;
        while (end < last && saved(end + 1) == fromStore)
            ++end;
        std::uint64_t begin = std::max(offset, chunk * kSnapshotChunk);
        std::uint64_t stop = std::min(offset + length, (end + 1) * kSnapshotChunk);
        auto size = static_cast<std::size_t>(stop - begin);
        std::uint8_t* target = out + (begin - offset);
        bool ok = false;
        if (fromStore) {
            ok = ::pread(data_.get(), target, size, static_cast<off_t>(begin)) ==
                 static_cast<ssize_t>(size);
        } else {
            std::lock_guard<std::mutex> lock(imageMutex_);
            ok = volume_.read(begin, target, size);
        }
        if (!ok) {
            setLastError(kErrorReadFault);
            return false;
        }
        chunk = end + 1;
    }
    return true;
}

bool SnapshotView::read(std::uint64_t offset, void* buffer, std::size_t length) {
    if (length == 0)
        return true;
    if (offset > length_ || length > length_ - offset) {
        setLastError(kErrorSectorNotFound);
        return false;
    }
    if (retired()) {
        setLastError(kErrorNotReady);
        return false;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint64_t first = offset / kSnapshotChunk;
    std::uint64_t last = (offset + length - 1) / kSnapshotChunk;
    // Unsaved chunks from the image first, then every chunk saved by now from the store:
    // a chunk saved between the two passes is taken from the store (see the header).
    if (!readChunks(offset, out, length, first, last, false))
        return false;
    if (!readChunks(offset, out, length, first, last, true))
        return false;
    if (retired()) {
        setLastError(kErrorNotReady);
        return false;
    }
    return true;
}

}  // namespace platform::emulated
