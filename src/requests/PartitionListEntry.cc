#include "requests/PartitionListEntry.h"

#include <exception>
#include <functional>
#include <optional>

#include "blocks/DiskVolume.h"
#include "disk/Disk.h"
#include "logging/Logger.h"

namespace requests {

namespace {

// What is known of a device when building its entry fails, for the WARN line.
struct ScanProgress {
    std::optional<std::string> drivePath;
    std::optional<std::string> name;
};

void warnSkipped(const ScanProgress& progress, const std::exception* error) {
    if (error == nullptr) {
        logging::logWarn() << "Encountered an error scanning device.  Skipping... ";
        return;
    }
    auto line = logging::logWarn();
    line << "Encountered an error scanning device";
    if (progress.drivePath)
        line << "  (" << *progress.drivePath << ")";
    if (progress.name)
        line << "  (" << *progress.name << ")";
    line << ".  [" << error->what() << "]  Skipping... ";
}

// Runs build; its entry is appended when it succeeds and dropped with a WARN line when not.
void appendGuarded(std::vector<PartitionListEntry>& entries,
                   const std::function<PartitionListEntry(ScanProgress&)>& build) {
    ScanProgress progress;
    try {
        entries.push_back(build(progress));
    } catch (const std::exception& error) {
        warnSkipped(progress, &error);
    } catch (...) {
        warnSkipped(progress, nullptr);
    }
}

// MBR disks and their volumes report the size cut to 32 bits, as servers have always read
// it. GPT disks can exceed 4 TiB, where a cut size would pass for a small one, so theirs
// stop at the largest value instead.
std::uint32_t sizeKiB(std::uint64_t bytes, std::uint32_t style) {
    std::uint64_t kib = bytes >> 10;
    if (style == platform::kPartitionStyleGpt && kib > 0xFFFFFFFFu)
        return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(kib);
}

PartitionListEntry diskEntry(disk::Disk& disk, ScanProgress& progress) {
    PartitionListEntry entry;
    entry.name = disk.getID();
    progress.name = entry.name;
    entry.isContainer = 1;
    entry.sizeKiB = sizeKiB(disk.getSize(), disk.getPartitionStyle());
    entry.kind = PartitionListEntry::kKindDisk;
    entry.isNtfs = 1;
    return entry;
}

PartitionListEntry volumeEntry(blocks::DiskVolume& volume, const std::string& parent,
                               ScanProgress& progress) {
    PartitionListEntry entry;
    entry.drivePath = volume.getDriveLetterPath();
    progress.drivePath = entry.drivePath;
    entry.name = volume.getDeviceID();
    progress.name = entry.name;
    entry.hasDriveLetter = entry.drivePath.empty() ? 0 : 1;
    entry.sizeKiB = sizeKiB(volume.getCapacityBytes(), volume.getPartitionStyle());
    entry.kind = volume.getFileSystemType() == blocks::Volume::kFileSystemNtfs
                     ? blocks::Volume::kFileSystemNtfs
                     : 0;
    entry.parentName = parent;
    entry.isNtfs = entry.kind == blocks::Volume::kFileSystemNtfs ? 1 : 0;
    return entry;
}

using VolumeList = std::vector<std::shared_ptr<blocks::DiskVolume>>;

VolumeList volumesOnDisk(const VolumeList& all, std::uint32_t diskNumber) {
    VolumeList onDisk;
    for (const auto& volume : all) {
        if (volume->getDiskNumber() == diskNumber)
            onDisk.push_back(volume);
    }
    return onDisk;
}

void appendVolumes(std::vector<PartitionListEntry>& entries, const VolumeList& volumes,
                   const std::string& parent) {
    for (const auto& volume : volumes) {
        appendGuarded(entries, [&](ScanProgress& progress) {
            return volumeEntry(*volume, parent, progress);
        });
    }
}

void appendDynamicVolumes(std::vector<PartitionListEntry>& entries, const VolumeList& all,
                          std::uint32_t serverVersion) {
    VolumeList volumes = volumesOnDisk(all, blocks::DiskVolume::kNoDisk);
    if (volumes.empty())
        return;
    if (serverVersion < kDynamicVolumesFrom) {
        logging::logWarn() << "The Vorlex Server does not support dynamic volumes.  Please "
                              "updates the Vorlex Server to be able to support dynamic volumes.";
        return;
    }
    PartitionListEntry group;
    group.name = kDynamicVolumesName;
    group.isContainer = 1;
    group.kind = PartitionListEntry::kKindDynamicGroup;
    group.isNtfs = 1;
    entries.push_back(group);
    appendVolumes(entries, volumes, kDynamicVolumesName);
}

}  // namespace

std::vector<PartitionListEntry> collectPartitionList(std::uint32_t serverVersion) {
    std::vector<PartitionListEntry> entries;
    // One enumeration serves every disk: each pass opens every volume device.
    VolumeList all = blocks::DiskVolume::getAllDiskVolumes();
    for (const auto& disk : disk::Disk::getAllDisks()) {
        appendGuarded(entries, [&](ScanProgress& progress) { return diskEntry(*disk, progress); });
        appendVolumes(entries, volumesOnDisk(all, disk->getDiskNumber()), disk->getID());
    }
    appendDynamicVolumes(entries, all, serverVersion);
    return entries;
}

void writePartitionList(net::EncryptedMessage& message,
                        const std::vector<PartitionListEntry>& entries,
                        std::uint32_t serverVersion) {
    message.clear();
    message.write32(net::PROT_PARTITION_LIST);
    message.write32(static_cast<std::uint32_t>(entries.size()));
    for (const auto& entry : entries) {
        message.writeString(entry.name);
        message.write8(entry.isContainer).write8(entry.hasDriveLetter);
        message.write32(entry.reserved1).write32(entry.reserved2);
        message.write32(entry.sizeKiB).write32(entry.kind);
        if (serverVersion > kPartitionListDetailsAbove) {
            message.writeString(entry.drivePath).writeString(entry.parentName);
            message.write8(entry.isNtfs);
        }
    }
}

}  // namespace requests
