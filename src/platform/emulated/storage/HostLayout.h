// The storage of an emulated host as the seam presents it: physical disks (disks/N.img),
// their MBR layouts, the volumes on them with their GUID paths, drive letters and spanned
// volumes. Built afresh from the host root on every load(), so that changes made by other
// processes (hostsim, tests) are seen at once.
//
// host.conf keys of the storage (all optional):
//
//   [disk N]                   settings of disks/N.img ("\\.\PHYSICALDRIVEN")
//   media = fixed              fixed (default), removable (geometry says removable media,
//                              its volumes are removable drives) or not-ready (opens, but
//                              geometry and reads fail with error 21)
//
//   [letters]
//   C = \\?\Volume{...}\       drive letter C mounts that volume: "\\.\C:" opens the volume
//                              device, "C:\" is its mount point, and files below "C:\" live
//                              in the folder drives/C/ of the host root
//
//   [spanned NAME]             a volume over several extents (a dynamic volume)
//   guid = xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx    optional; derived from NAME otherwise
//   extent = DISK OFFSET LENGTH                    bytes, one line per extent, in volume order
//
//   [optical NAME]             an optical drive without a medium: listed by the volume
//                              enumeration with drive type 5; opening it fails with error 21
//
//   [fault NAME]               fault injection (see FaultInjector.h)
//
// Volume GUIDs are derived from the disk signature and the partition's starting sector:
// "\\?\Volume{SSSSSSSS-0000-0000-0000-OOOOOOOOOOOO}\" (signature S, sector O, hexadecimal),
// stable across processes and across renumbering of the disks. On a GPT disk a volume's GUID
// is its partition's unique GUID (for a disk whose table repeats another disk's GUIDs, a
// GUID derived from the disk number and the starting sector).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/GptFormat.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/storage/MbrLayout.h"

namespace platform::emulated {

enum class DiskMedia { Fixed, Removable, NotReady };

// The media of disk N as host.conf declares it (fixed when nothing is said).
DiskMedia diskMedia(const HostConfig& config, std::uint32_t diskNumber);

struct DiskInfo {
    std::uint32_t number = 0;
    std::filesystem::path image;
    std::uint64_t size = 0;
    DiskMedia media = DiskMedia::Fixed;
    MbrLayout layout;  // layout.valid is false when the table is damaged (layout.error says why)
    // A protective MBR makes the disk a GPT disk; its partitions come from gpt, whose valid
    // is false when the table is damaged. Unlike Windows, a damaged primary table is not
    // replaced by the backup: the disk then has no volumes.
    bool gptStyle = false;
    gpt::Table gpt;
};

// Reads the MBR layout and, behind a protective MBR, the GPT of a disk image.
void readDiskTables(const SectorReader& read, std::uint64_t diskSize, DiskInfo& disk);

struct VolumeExtent {
    std::uint32_t diskNumber = 0;
    std::uint64_t offset = 0;  // bytes on the disk
    std::uint64_t length = 0;  // bytes
    bool operator==(const VolumeExtent&) const = default;
};

enum class VolumeKind { Partition, Spanned, Optical };

struct VolumeInfo {
    VolumeKind kind = VolumeKind::Partition;
    std::wstring guidPath;  // "\\?\Volume{...}\" with the trailing backslash
    std::vector<VolumeExtent> extents;
    std::uint64_t length = 0;  // sum of the extents
    wchar_t driveLetter = 0;   // 0 when no letter is assigned
    DiskMedia media = DiskMedia::Fixed;
    // Partition volumes: the disk and the partition's position among the disk's
    // non-container partitions (0x05, 0x0F and 0x85 entries and empty slots not counted),
    // which is the M of "Disk N Partition M". On a GPT disk the position among the used
    // entries in array order (reserved partitions counted, though they hold no volume).
    std::uint32_t diskNumber = 0;
    std::uint32_t partitionIndex = 0;
    std::uint8_t partitionType = 0;  // 0 on a GPT disk
    // Spanned and optical volumes: the NAME of their host.conf section.
    std::string name;

    // The volume device's path: guidPath without its trailing backslash.
    std::wstring devicePath() const;
};

class HostLayout {
  public:
    // Scans disks/ and reads host.conf. Never throws for damaged images: a disk whose table
    // cannot be read has no volumes; a bad host.conf entry is skipped.
    static HostLayout load(Host& host);

    const std::vector<DiskInfo>& disks() const { return disks_; }
    const std::vector<VolumeInfo>& volumes() const { return volumes_; }

    const DiskInfo* disk(std::uint32_t number) const;
    // By GUID path or device path (with or without the trailing backslash, any case).
    const VolumeInfo* findVolume(const std::wstring& name) const;
    // By drive letter (any case); null when the letter is not assigned.
    const VolumeInfo* volumeForLetter(wchar_t letter) const;
    // "C", "C:", "c:\", a GUID path, "N:M" (disk N, partition index M), or the name of a
    // spanned or optical volume.
    const VolumeInfo* selectVolume(const std::string& selector) const;
    // Whether host.conf assigns the letter (the folder drives/X/ is then the drive's files).
    bool letterAssigned(wchar_t letter) const;

    // The GUID path of a partition volume.
    static std::wstring partitionGuidPath(std::uint32_t signature, std::uint64_t offset);

  private:
    void loadDisks(Host& host, const HostConfig& config);
    void addPartitionVolumes(const DiskInfo& disk);
    void addGptVolumes(const DiskInfo& disk);
    void addConfiguredVolumes(const HostConfig& config);
    void assignLetters(const HostConfig& config);

    std::vector<DiskInfo> disks_;
    std::vector<VolumeInfo> volumes_;
    std::vector<wchar_t> assignedLetters_;
};

}  // namespace platform::emulated
