// show: what the seam reports for the host, through the same calls the agent makes.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/GptFormat.h"
#include "platform/System.h"
#include "platform/Volumes.h"

namespace hostsim {
namespace {

using namespace platform;

std::string errorText() {
    std::uint32_t code = getLastError();
    std::string text = toNarrow(formatMessage(code));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return "error " + std::to_string(code) + " (" + text + ")";
}

std::string hex(std::uint64_t value, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llx", width, static_cast<unsigned long long>(value));
    return text;
}

std::string gptName(const PartitionInformationGpt& entry) {
    std::wstring name;
    for (std::uint16_t c : entry.name) {
        if (c == 0)
            break;
        name.push_back(static_cast<wchar_t>(c));
    }
    return toNarrow(name);
}

// The extended layout, shown for GPT disks (the classic one is refused for them).
void showGptLayout(FileHandle& disk) {
    std::vector<std::uint8_t> buffer(kDriveLayoutExEntryOffset +
                                     256 * sizeof(PartitionInformationEx));
    std::uint32_t returned = 0;
    if (!deviceIoControl(disk, kIoctlDiskGetDriveLayoutEx, nullptr, 0, buffer.data(),
                         static_cast<std::uint32_t>(buffer.size()), &returned)) {
        std::cout << "  layout: " << errorText() << "\n";
        return;
    }
    DriveLayoutInformationExHeader header{};
    std::memcpy(&header, buffer.data(), sizeof header);
    if (header.partitionStyle != kPartitionStyleGpt) {
        std::cout << "  layout: style " << header.partitionStyle << "\n";
        return;
    }
    std::cout << "  layout: GPT, disk " << gpt::guidText(header.gpt().diskId) << ", "
              << header.partitionCount << " of " << header.gpt().maxPartitionCount
              << " entries used\n";
    for (std::uint32_t i = 0; i < header.partitionCount; ++i) {
        PartitionInformationEx entry{};
        std::memcpy(&entry, buffer.data() + kDriveLayoutExEntryOffset + i * sizeof entry,
                    sizeof entry);
        std::cout << "    [" << i << "] type " << gpt::guidText(entry.gpt().partitionType)
                  << "  start " << entry.startingOffset << "  length " << entry.partitionLength
                  << "  number " << entry.partitionNumber << "  id "
                  << gpt::guidText(entry.gpt().partitionId) << "  name '" << gptName(entry.gpt())
                  << "'\n";
    }
}

void showLayout(FileHandle& disk) {
    std::vector<std::uint8_t> buffer(kDriveLayoutEntryOffset + 128 * sizeof(PartitionInformation));
    std::uint32_t returned = 0;
    if (!deviceIoControl(disk, kIoctlDiskGetDriveLayout, nullptr, 0, buffer.data(),
                         static_cast<std::uint32_t>(buffer.size()), &returned)) {
        if (getLastError() == kErrorInvalidFunction) {
            showGptLayout(disk);
            return;
        }
        std::cout << "  layout: " << errorText() << "\n";
        return;
    }
    DriveLayoutInformationHeader header{};
    std::memcpy(&header, buffer.data(), sizeof header);
    std::cout << "  layout: signature " << hex(header.signature, 8) << ", " << header.partitionCount
              << " entries\n";
    for (std::uint32_t i = 0; i < header.partitionCount; ++i) {
        PartitionInformation entry{};
        std::memcpy(&entry, buffer.data() + kDriveLayoutEntryOffset + i * sizeof entry,
                    sizeof entry);
        if (entry.partitionType == 0)
            continue;
        std::cout << "    [" << i << "] type " << hex(entry.partitionType, 2) << "  start "
                  << entry.startingOffset << "  length " << entry.partitionLength << "  number "
                  << entry.partitionNumber << (entry.bootIndicator ? "  boot" : "") << "\n";
    }
}

bool showDisk(std::uint32_t number) {
    FileHandle disk = createFile(L"\\\\.\\PHYSICALDRIVE" + std::to_wstring(number), kGenericRead,
                                 kFileShareRead | kFileShareWrite, kOpenExisting, 0);
    if (!disk)
        return false;
    std::cout << "disk " << number << "  \\\\.\\PHYSICALDRIVE" << number;
    DiskGeometryEx geometry{};
    std::uint32_t returned = 0;
    if (!deviceIoControl(disk, kIoctlDiskGetDriveGeometryEx, nullptr, 0, &geometry, sizeof geometry,
                         &returned)) {
        std::cout << "  geometry: " << errorText() << "\n";
        return true;
    }
    const char* media = geometry.geometry.mediaType == kMediaTypeFixed ? "fixed" : "removable";
    std::cout << "  " << media << "  " << geometry.diskSize << " bytes  C/H/S "
              << geometry.geometry.cylinders << "/" << geometry.geometry.tracksPerCylinder << "/"
              << geometry.geometry.sectorsPerTrack << "  " << geometry.geometry.bytesPerSector
              << " bytes per sector\n";
    showLayout(disk);
    return true;
}

std::string letterOf(const std::wstring& volumeName) {
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        std::wstring name;
        if (getVolumeNameForVolumeMountPoint(std::wstring(1, letter) + L":\\", name) &&
            name == volumeName) {
            return std::string(1, static_cast<char>(letter)) + ":\\";
        }
    }
    return "-";
}

void showVolumeDevice(const std::wstring& volumeName) {
    std::wstring device = volumeName.substr(0, volumeName.size() - 1);
    FileHandle volume =
        createFile(device, kGenericRead, kFileShareRead | kFileShareWrite, kOpenExisting, 0);
    if (!volume) {
        std::cout << "    open: " << errorText() << "\n";
        return;
    }
    std::vector<std::uint8_t> buffer(1448);
    std::uint32_t returned = 0;
    if (deviceIoControl(volume, kIoctlVolumeGetVolumeDiskExtents, nullptr, 0, buffer.data(),
                        static_cast<std::uint32_t>(buffer.size()), &returned)) {
        VolumeDiskExtentsHeader header{};
        std::memcpy(&header, buffer.data(), sizeof header);
        for (std::uint32_t i = 0; i < header.numberOfDiskExtents; ++i) {
            DiskExtent extent{};
            std::memcpy(&extent, buffer.data() + sizeof header + i * sizeof extent, sizeof extent);
            std::cout << "    extent: disk " << extent.diskNumber << "  offset "
                      << extent.startingOffset << "  length " << extent.extentLength << "\n";
        }
    }
    NtfsVolumeDataBuffer data{};
    if (deviceIoControl(volume, kFsctlGetNtfsVolumeData, nullptr, 0, &data, sizeof data,
                        &returned)) {
        std::cout << "    NTFS: " << data.bytesPerCluster << "-byte clusters x "
                  << data.totalClusters << " (" << data.freeClusters << " free), serial "
                  << hex(static_cast<std::uint64_t>(data.volumeSerialNumber), 16) << "\n";
    } else {
        std::cout << "    NTFS: " << errorText() << "\n";
    }
}

void showVolume(const std::wstring& volumeName) {
    static const char* types[] = {"unknown", "no root", "removable", "fixed",
                                  "remote",  "cdrom",   "ramdisk"};
    std::uint32_t type = getDriveType(volumeName);
    std::cout << "volume " << toNarrow(volumeName) << "  " << (type < 7 ? types[type] : "?")
              << "  letter " << letterOf(volumeName) << "\n";
    showVolumeDevice(volumeName);
}

int show(const std::vector<std::string>& args) {
    Arguments(args, {}).positional(0);
    for (std::uint32_t number = 0, misses = 0; misses < 8; ++number) {
        if (!showDisk(number))
            ++misses;
    }
    std::wstring name;
    auto enumeration = findFirstVolume(name);
    if (!enumeration)
        return 0;
    do {
        showVolume(name);
    } while (enumeration->next(name));
    if (getLastError() != kErrorNoMoreFiles)
        std::cout << "enumeration: " << errorText() << "\n";
    enumeration->close();
    return 0;
}

}  // namespace
}  // namespace hostsim

std::vector<Command> showCommands() {
    return {{"show",
             "show                      disks, layouts, volumes and letters as the seam "
             "reports them",
             hostsim::show}};
}
