#include "platform/emulated/storage/HostLayout.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <sstream>

#include "platform/System.h"
#include "platform/WideText.h"
#include "platform/emulated/storage/DiskImage.h"

namespace platform::emulated {
namespace {

// A stable 64-bit hash (FNV-1a) for GUIDs of configured volumes.
std::uint64_t hashName(const std::string& name) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (unsigned char c : name)
        hash = (hash ^ c) * 1099511628211ULL;
    return hash;
}

std::wstring guidPathFromText(const std::string& guid) {
    return L"\\\\?\\Volume{" + toWide(guid) + L"}\\";
}

std::wstring namedGuidPath(const std::string& kind, const std::string& name) {
    std::uint64_t hash = hashName(kind + ":" + name);
    char text[64];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx",
                  static_cast<unsigned>(hash >> 32), static_cast<unsigned>((hash >> 16) & 0xFFFF),
                  static_cast<unsigned>(hash & 0xFFFF), 0xC0DEu,
                  static_cast<unsigned long long>(hash & 0xFFFFFFFFFFFFULL));
    return guidPathFromText(text);
}

// "DISK OFFSET LENGTH"
std::optional<VolumeExtent> parseExtent(const std::string& text) {
    std::istringstream in(text);
    VolumeExtent extent;
    if (!(in >> extent.diskNumber >> extent.offset >> extent.length))
        return std::nullopt;
    std::string rest;
    if (in >> rest)
        return std::nullopt;
    return extent;
}

bool extentInsideDisk(const VolumeExtent& extent, const DiskInfo* disk) {
    return disk != nullptr && extent.length > 0 && extent.offset % kSectorSize == 0 &&
           extent.length % kSectorSize == 0 && extent.offset <= disk->size &&
           extent.length <= disk->size - extent.offset;
}

std::vector<std::uint32_t> diskNumbersIn(const std::filesystem::path& folder) {
    std::vector<std::uint32_t> numbers;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::string name = entry.path().filename().string();
        if (name.size() < 5 || name.substr(name.size() - 4) != ".img")
            continue;
        std::string digits = name.substr(0, name.size() - 4);
        if (digits.empty() || digits.size() > 6 ||
            !std::all_of(digits.begin(), digits.end(), ::isdigit)) {
            continue;
        }
        numbers.push_back(static_cast<std::uint32_t>(std::stoul(digits)));
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

}  // namespace

DiskMedia diskMedia(const HostConfig& config, std::uint32_t diskNumber) {
    std::string text = config.get("disk " + std::to_string(diskNumber), "media", "fixed");
    if (text == "removable")
        return DiskMedia::Removable;
    if (text == "not-ready")
        return DiskMedia::NotReady;
    return DiskMedia::Fixed;
}

std::wstring VolumeInfo::devicePath() const {
    return withoutTrailingBackslashes(guidPath);
}

std::wstring HostLayout::partitionGuidPath(std::uint32_t signature, std::uint64_t offset) {
    char text[64];
    std::snprintf(text, sizeof text, "%08x-0000-0000-0000-%012llx", signature,
                  static_cast<unsigned long long>((offset / kSectorSize) & 0xFFFFFFFFFFFFULL));
    return guidPathFromText(text);
}

HostLayout HostLayout::load(Host& host) {
    HostLayout layout;
    HostConfig config;
    try {
        config = host.config();
    } catch (const std::exception&) {
        // A host.conf that does not parse leaves the plain disks usable.
    }
    layout.loadDisks(host, config);
    for (const auto& disk : layout.disks_)
        layout.addPartitionVolumes(disk);
    layout.addConfiguredVolumes(config);
    layout.assignLetters(config);
    return layout;
}

void HostLayout::loadDisks(Host& host, const HostConfig& config) {
    for (std::uint32_t number : diskNumbersIn(host.root() / "disks")) {
        auto image = DiskImage::open(host, number, false);
        if (!image)
            continue;
        DiskInfo disk;
        disk.number = number;
        disk.image = DiskImage::imagePath(host, number);
        disk.size = image->size();
        disk.media = diskMedia(config, number);
        const DiskImage& source = *image;
        readDiskTables([&source](std::uint64_t offset, void* buffer,
                                 std::size_t count) { return source.read(offset, buffer, count); },
                       disk.size, disk);
        disks_.push_back(std::move(disk));
    }
}

void readDiskTables(const SectorReader& read, std::uint64_t diskSize, DiskInfo& disk) {
    disk.layout = readMbrLayout(read, diskSize);
    for (const auto& slot : disk.layout.slots) {
        if (slot.tableSector == 0 && slot.type == gpt::kProtectiveType)
            disk.gptStyle = true;
    }
    if (disk.gptStyle)
        disk.gpt = gpt::readTable(read, diskSize / kSectorSize);
}

void HostLayout::addGptVolumes(const DiskInfo& disk) {
    if (!disk.gpt.valid)
        return;
    std::uint32_t index = 0;
    for (const auto& entry : disk.gpt.entries) {
        std::uint32_t position = index++;
        // Windows mounts no volume on the reserved partition, but it keeps its number.
        if (entry.type == gpt::kMicrosoftReservedType)
            continue;
        VolumeInfo volume;
        volume.guidPath = guidPathFromText(gpt::guidText(entry.unique));
        // A disk cloned from another repeats its partition GUIDs; its volumes need paths of
        // their own.
        if (findVolume(volume.guidPath) != nullptr)
            volume.guidPath = partitionGuidPath(0x6c6f6e00 | disk.number, entry.startingOffset());
        volume.extents.push_back({disk.number, entry.startingOffset(), entry.length()});
        volume.length = entry.length();
        volume.media = disk.media;
        volume.diskNumber = disk.number;
        volume.partitionIndex = position;
        volumes_.push_back(std::move(volume));
    }
}

void HostLayout::addPartitionVolumes(const DiskInfo& disk) {
    if (disk.gptStyle) {
        addGptVolumes(disk);
        return;
    }
    if (!disk.layout.valid)
        return;
    std::uint32_t index = 0;
    for (const auto& slot : disk.layout.partitions()) {
        std::uint32_t position = index++;
        VolumeExtent extent{disk.number, slot.startingOffset, slot.length};
        // A dynamic disk's 0x42 partition holds no volume of its own; a partition that
        // leaves the disk would not be mounted.
        if (slot.type == 0x42 || !extentInsideDisk(extent, &disk))
            continue;
        VolumeInfo volume;
        volume.guidPath = partitionGuidPath(disk.layout.signature, slot.startingOffset);
        volume.extents.push_back(extent);
        volume.length = slot.length;
        volume.media = disk.media;
        volume.diskNumber = disk.number;
        volume.partitionIndex = position;
        volume.partitionType = slot.type;
        volumes_.push_back(std::move(volume));
    }
}

void HostLayout::addConfiguredVolumes(const HostConfig& config) {
    for (const auto& section : config.sections()) {
        bool spanned = section.rfind("spanned ", 0) == 0;
        bool optical = section.rfind("optical ", 0) == 0;
        if (!spanned && !optical)
            continue;
        std::string name = section.substr(8);
        VolumeInfo volume;
        volume.kind = spanned ? VolumeKind::Spanned : VolumeKind::Optical;
        volume.name = name;
        auto guid = config.get(section, "guid");
        volume.guidPath =
            guid ? guidPathFromText(*guid) : namedGuidPath(section.substr(0, 7), name);
        bool usable = true;
        for (const auto& text :
             spanned ? config.getAll(section, "extent") : std::vector<std::string>{}) {
            auto extent = parseExtent(text);
            if (!extent || !extentInsideDisk(*extent, disk(extent->diskNumber))) {
                usable = false;
                break;
            }
            volume.extents.push_back(*extent);
            volume.length += extent->length;
            DiskMedia media = disk(extent->diskNumber)->media;
            if (media != DiskMedia::Fixed)
                volume.media = media;
        }
        if (spanned && (!usable || volume.extents.empty()))
            continue;
        volumes_.push_back(std::move(volume));
    }
}

void HostLayout::assignLetters(const HostConfig& config) {
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        auto target = config.get("letters", std::string(1, static_cast<char>(letter)));
        if (!target)
            continue;
        assignedLetters_.push_back(letter);
        std::wstring key = upperCase(withoutTrailingBackslashes(toWide(*target)));
        for (auto& volume : volumes_) {
            if (volume.driveLetter == 0 && upperCase(volume.devicePath()) == key) {
                volume.driveLetter = letter;
                break;
            }
        }
    }
}

const DiskInfo* HostLayout::disk(std::uint32_t number) const {
    for (const auto& disk : disks_) {
        if (disk.number == number)
            return &disk;
    }
    return nullptr;
}

const VolumeInfo* HostLayout::findVolume(const std::wstring& name) const {
    std::wstring key = upperCase(withoutTrailingBackslashes(name));
    for (const auto& volume : volumes_) {
        if (upperCase(volume.devicePath()) == key)
            return &volume;
    }
    return nullptr;
}

const VolumeInfo* HostLayout::volumeForLetter(wchar_t letter) const {
    wchar_t wanted = static_cast<wchar_t>(std::towupper(letter));
    for (const auto& volume : volumes_) {
        if (volume.driveLetter == wanted)
            return &volume;
    }
    return nullptr;
}

bool HostLayout::letterAssigned(wchar_t letter) const {
    wchar_t wanted = static_cast<wchar_t>(std::towupper(letter));
    return std::find(assignedLetters_.begin(), assignedLetters_.end(), wanted) !=
           assignedLetters_.end();
}

const VolumeInfo* HostLayout::selectVolume(const std::string& selector) const {
    std::wstring text = toWide(selector);
    if (!text.empty() && text.size() <= 3 && std::iswalpha(text[0]) &&
        (text.size() == 1 || text[1] == L':')) {
        return volumeForLetter(text[0]);
    }
    unsigned diskNumber = 0;
    unsigned index = 0;
    char tail = 0;
    if (std::sscanf(selector.c_str(), "%u:%u%c", &diskNumber, &index, &tail) == 2) {
        for (const auto& volume : volumes_) {
            if (volume.kind == VolumeKind::Partition && volume.diskNumber == diskNumber &&
                volume.partitionIndex == index) {
                return &volume;
            }
        }
        return nullptr;
    }
    if (const VolumeInfo* volume = findVolume(text))
        return volume;
    for (const auto& volume : volumes_) {
        if (volume.kind != VolumeKind::Partition && volume.name == selector)
            return &volume;
    }
    return nullptr;
}

}  // namespace platform::emulated
