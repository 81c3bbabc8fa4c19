#include "backup-server/pointfiles/PointVolume.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <utility>
#include <vector>

#include "backup-server/pointfiles/NtfsLibrary.h"
#include "runtime/Exceptions.h"

namespace backup_server {

// The device behind the library: byte offsets of the volume mapped onto chunks, with a
// small cache of decoded chunks (the library alternates between metadata and data, so one
// chunk would be read again and again).
class PointVolume::Device {
  public:
    Device(const Store& store, const PointRecord& point)
        : reader_(store, point), chunks_(store.objects(), store.cipher()) {
        const PointGeometry& geometry = reader_.geometry();
        chunkSpan_ = std::uint64_t{geometry.chunkBlocks} * geometry.blockSize;
        size_ = geometry.blockCount * geometry.blockSize;
    }

    const PointRecord& point() const { return reader_.point(); }
    std::uint64_t size() const { return size_; }
    PointReadCounters counters() const { return counters_; }
    std::string takeProblem() { return std::exchange(problem_, std::string()); }

    // Reads count bytes at offset (fewer at the volume's end); -1 with errno EIO when a
    // chunk is missing or damaged, the reason kept for takeProblem().
    std::int64_t read(void* buffer, std::int64_t count, std::int64_t offset) {
        if (count < 0 || offset < 0) {
            errno = EINVAL;
            return -1;
        }
        auto at = static_cast<std::uint64_t>(offset);
        std::uint64_t end = std::min(size_, at + static_cast<std::uint64_t>(count));
        auto* out = static_cast<unsigned char*>(buffer);
        try {
            while (at < end) {
                std::uint64_t chunk = at / chunkSpan_;
                std::uint64_t within = at % chunkSpan_;
                const std::vector<unsigned char>& data = chunkData(chunk);
                std::uint64_t n = std::min<std::uint64_t>(end - at, data.size() - within);
                std::memcpy(out, data.data() + within, n);
                out += n;
                at += n;
            }
        } catch (const std::exception& error) {
            problem_ = error.what();
            errno = EIO;
            return -1;
        }
        std::int64_t done = out - static_cast<unsigned char*>(buffer);
        counters_.deviceBytes += static_cast<std::uint64_t>(done);
        return done;
    }

    std::int64_t position = 0;  // for the library's seek and read

  private:
    struct Slot {
        std::uint64_t chunk;
        std::vector<unsigned char> data;
    };
    static constexpr std::size_t kCachedChunks = 8;

    const std::vector<unsigned char>& chunkData(std::uint64_t chunk) {
        for (auto slot = cache_.begin(); slot != cache_.end(); ++slot) {
            if (slot->chunk == chunk) {
                cache_.splice(cache_.begin(), cache_, slot);
                return cache_.front().data;
            }
        }
        if (cache_.size() >= kCachedChunks)
            cache_.pop_back();
        Slot slot{chunk, {}};
        ChunkShape shape = reader_.geometry().shapeOf(chunk);
        slot.data.resize(shape.dataBytes());
        Sha256Digest name = reader_.index().entry(chunk);
        if (isEmptyEntry(name)) {
            std::fill(slot.data.begin(), slot.data.end(), 0);
        } else {
            chunks_.read(name, shape, slot.data.data(), digests_);
            counters_.chunkBytes += chunks_.lastReadBytes();
            ++counters_.chunksRead;
        }
        cache_.push_front(std::move(slot));
        return cache_.front().data;
    }

    PointReader reader_;  // checks the index against the catalogue; gives chunk names
    ChunkStore chunks_;
    std::uint64_t chunkSpan_ = 0;
    std::uint64_t size_ = 0;
    std::list<Slot> cache_;
    std::vector<blocks::BlockDigest> digests_;
    PointReadCounters counters_;
    std::string problem_;
};

namespace {

PointVolume::Device& deviceOf(ntfs_device* device) {
    return *static_cast<PointVolume::Device*>(device->d_private);
}

int deviceOpen(ntfs_device* device, int flags) {
    if ((flags & O_ACCMODE) != O_RDONLY) {
        errno = EROFS;
        return -1;
    }
    NDevSetOpen(device);
    return 0;
}

int deviceClose(ntfs_device* device) {
    NDevClearOpen(device);
    return 0;
}

s64 deviceSeek(ntfs_device* device, s64 offset, int whence) {
    PointVolume::Device& state = deviceOf(device);
    s64 base = whence == SEEK_SET   ? 0
               : whence == SEEK_CUR ? state.position
               : whence == SEEK_END ? static_cast<s64>(state.size())
                                    : -1;
    if (base < 0 || offset < -base) {
        errno = EINVAL;
        return -1;
    }
    state.position = base + offset;
    return state.position;
}

s64 devicePread(ntfs_device* device, void* buffer, s64 count, s64 offset) {
    return deviceOf(device).read(buffer, count, offset);
}

s64 deviceRead(ntfs_device* device, void* buffer, s64 count) {
    PointVolume::Device& state = deviceOf(device);
    s64 done = state.read(buffer, count, state.position);
    if (done > 0)
        state.position += done;
    return done;
}

s64 deviceWrite(ntfs_device*, const void*, s64) {
    errno = EROFS;
    return -1;
}

s64 devicePwrite(ntfs_device*, const void*, s64, s64) {
    errno = EROFS;
    return -1;
}

int deviceSync(ntfs_device*) {
    return 0;
}

int deviceStat(ntfs_device* device, struct stat* status) {
    std::memset(status, 0, sizeof *status);
    status->st_mode = S_IFREG | 0444;
    status->st_size = static_cast<off_t>(deviceOf(device).size());
    return 0;
}

int deviceIoctl(ntfs_device*, unsigned long, void*) {
    errno = ENOTTY;
    return -1;
}

ntfs_device_operations pointDeviceOperations = {
    deviceOpen,  deviceClose,  deviceSeek, deviceRead, deviceWrite,
    devicePread, devicePwrite, deviceSync, deviceStat, deviceIoctl,
};

// The library reports through its own logger; its messages are for its developers, and
// what matters reaches callers as an error number that each command turns into a message.
void silenceLibrary() {
    static const bool done = [] {
        ntfs_log_set_handler(ntfs_log_handler_null);
        return true;
    }();
    (void)done;
}

}  // namespace

PointVolume::PointVolume(const Store& store, const PointRecord& point)
    : device_(std::make_unique<Device>(store, point)) {
    silenceLibrary();
    std::string name = "point " + std::to_string(point.id);
    ntfs_device* device = ntfs_device_alloc(name.c_str(), 0, &pointDeviceOperations, device_.get());
    if (device == nullptr)
        ZENTRAD_THROW(runtime::AgentException, "Out of memory opening " + name);
    errno = 0;
    volume_ = ntfs_device_mount(device, NTFS_MNT_RDONLY);
    if (volume_ == nullptr) {
        int error = errno;
        if (NDevOpen(device))
            device->d_ops->close(device);
        ntfs_device_free(device);
        std::string problem = device_->takeProblem();
        ZENTRAD_THROW(runtime::AgentException,
                      "Cannot read NTFS in " + name + " of " + point.deviceID + ": " +
                          (problem.empty() ? std::string(std::strerror(error)) +
                                                 " (not an NTFS volume, or its metadata is damaged)"
                                           : problem));
    }
}

PointVolume::~PointVolume() {
    // Closes the device and frees it too.
    if (volume_ != nullptr)
        ntfs_umount(volume_, FALSE);
}

const PointRecord& PointVolume::point() const {
    return device_->point();
}
PointReadCounters PointVolume::counters() const {
    return device_->counters();
}
std::string PointVolume::takeProblem() {
    return device_->takeProblem();
}

}  // namespace backup_server
