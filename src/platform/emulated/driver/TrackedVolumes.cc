#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "platform/emulated/driver/ChangeRecorder.h"
#include "platform/emulated/storage/DiskImage.h"

namespace platform::emulated {
namespace {

struct FileState {
    bool exists = false;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t mtimeSeconds = 0;
    std::int64_t mtimeNanoseconds = 0;
    bool operator==(const FileState&) const = default;
};

FileState fileState(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return {};
    return {true, info.st_ino, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

// The MBR and every extended boot record of the disk, as they are on the image now.
std::vector<std::uint8_t> tableSectors(const DiskInfo& disk) {
    std::set<std::uint64_t> sectors{0};
    for (const MbrSlot& slot : disk.layout.slots)
        sectors.insert(slot.tableSector);
    // A GPT header's CRCs cover its entry array, so both headers stand for the whole table.
    if (disk.gptStyle) {
        sectors.insert(1);
        if (disk.gpt.valid)
            sectors.insert(disk.gpt.primary.alternateLba);
    }
    std::vector<std::uint8_t> bytes;
    FileDescriptor fd(::open(disk.image.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return bytes;
    for (std::uint64_t sector : sectors) {
        std::uint8_t buffer[kSectorSize] = {};
        ssize_t n =
            ::pread(fd.get(), buffer, sizeof buffer, static_cast<off_t>(sector * kSectorSize));
        bytes.insert(bytes.end(), buffer, buffer + (n > 0 ? n : 0));
    }
    return bytes;
}

}  // namespace

struct TrackedVolumeCache::Fingerprint {
    FileState config;
    FileState disksFolder;
    std::vector<FileState> images;  // identity and size only: contents change with every write
    std::vector<std::vector<std::uint8_t>> tables;
    bool operator==(const Fingerprint&) const = default;
};

std::vector<TrackedVolume> trackedVolumesOf(Host& host) {
    std::vector<TrackedVolume> tracked;
    HostLayout layout = HostLayout::load(host);
    for (const VolumeInfo& volume : layout.volumes()) {
        if (volume.kind == VolumeKind::Optical || volume.extents.empty())
            continue;
        tracked.push_back({volume.guidPath, volume.extents});
    }
    return tracked;
}

TrackedVolumeCache::Fingerprint TrackedVolumeCache::fingerprint(
    Host& host, const std::vector<DiskInfo>& disks) {
    Fingerprint print;
    print.config = fileState(host.configFile());
    print.disksFolder = fileState(host.root() / "disks");
    for (const DiskInfo& disk : disks) {
        FileState image = fileState(disk.image);
        image.mtimeSeconds = image.mtimeNanoseconds = 0;
        print.images.push_back(image);
        print.tables.push_back(tableSectors(disk));
    }
    return print;
}

std::vector<TrackedVolume> TrackedVolumeCache::current(Host& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fingerprint_ && fingerprint(host, disks_) == *fingerprint_)
        return volumes_;
    HostLayout layout = HostLayout::load(host);
    volumes_.clear();
    for (const VolumeInfo& volume : layout.volumes()) {
        if (volume.kind == VolumeKind::Optical || volume.extents.empty())
            continue;
        volumes_.push_back({volume.guidPath, volume.extents});
    }
    disks_ = layout.disks();
    fingerprint_ = std::make_shared<const Fingerprint>(fingerprint(host, disks_));
    return volumes_;
}

}  // namespace platform::emulated
