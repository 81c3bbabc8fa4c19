#include "platform/emulated/storage/DiskDevice.h"

#include <algorithm>
#include <vector>

#include "platform/emulated/storage/DeviceCommon.h"
#include "platform/emulated/storage/DiskImage.h"
#include "platform/emulated/storage/FaultInjector.h"
#include "platform/emulated/storage/HostLayout.h"

namespace platform::emulated {
namespace {

// The classic geometry Windows reports for disks without a real one.
constexpr std::uint32_t kTracksPerCylinder = 255;
constexpr std::uint32_t kSectorsPerTrack = 63;

PartitionInformation toPartitionInformation(const MbrSlot& slot, std::uint32_t& nextNumber) {
    PartitionInformation entry{};
    if (slot.empty())
        return entry;
    entry.startingOffset = static_cast<std::int64_t>(slot.startingOffset);
    entry.partitionLength = static_cast<std::int64_t>(slot.length);
    entry.hiddenSectors = slot.relativeSector;
    entry.partitionType = slot.type;
    entry.bootIndicator = slot.bootIndicator == 0x80 ? 1 : 0;
    if (!slot.container()) {
        entry.partitionNumber = nextNumber++;
        entry.recognizedPartition = 1;
    }
    return entry;
}

class DiskDevice : public OpenFile {
  public:
    DiskDevice(Host& host, std::unique_ptr<DiskImage> image, DiskMedia media, std::uint32_t access)
        : host_(host), image_(std::move(image)), media_(media), access_(access) {}

    bool read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead) override {
        *bytesRead = 0;
        if (!transferAllowed(canRead(access_), size))
            return false;
        std::uint64_t position = position_.get();
        if (position >= image_->size() || size == 0)
            return true;
        auto length =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(size, image_->size() - position));
        if (auto fault = injectReadFault(host_, target(), position, length)) {
            return fail(fault->error);
        }
        if (!image_->read(position, buffer, length))
            return false;
        position_.advance(length);
        *bytesRead = length;
        return true;
    }

    bool write(const void* buffer, std::uint32_t size, std::uint32_t* bytesWritten) override {
        *bytesWritten = 0;
        if (!transferAllowed(canWrite(access_), size))
            return false;
        std::uint64_t position = position_.get();
        if (position > image_->size() || size > image_->size() - position) {
            return fail(kErrorSectorNotFound);
        }
        std::uint32_t length = size;
        if (auto fault = injectWriteFault(host_, target(), position, size)) {
            if (fault->kind == InjectedFault::Kind::Error)
                return fail(fault->error);
            length = static_cast<std::uint32_t>(fault->bytesWritten);
        }
        if (length > 0 && !image_->write(position, buffer, length))
            return false;
        position_.advance(length);
        *bytesWritten = length;
        return true;
    }

    bool seek(std::int64_t distance, std::uint32_t method, std::uint64_t* newPosition) override {
        return position_.seek(distance, method, image_->size(), newPosition);
    }

    bool ioControl(std::uint32_t code, const void*, std::uint32_t, void* out, std::uint32_t outSize,
                   std::uint32_t* bytesReturned) override {
        *bytesReturned = 0;
        if (!allowsControl(access_, code))
            return false;
        switch (code) {
            case kIoctlDiskGetDriveGeometry:
                if (media_ == DiskMedia::NotReady)
                    return fail(kErrorNotReady);
                return replyWith(geometry(), out, outSize, bytesReturned);
            case kIoctlDiskGetDriveGeometryEx:
                return answerGeometryEx(out, outSize, bytesReturned);
            case kIoctlDiskGetDriveLayout:
                return answerLayout(out, outSize, bytesReturned);
            case kIoctlDiskGetDriveLayoutEx:
                return answerLayoutEx(out, outSize, bytesReturned);
            case kIoctlDiskGetLengthInfo:
                if (media_ == DiskMedia::NotReady)
                    return fail(kErrorNotReady);
                return replyWith(GetLengthInformation{static_cast<std::int64_t>(image_->size())},
                                 out, outSize, bytesReturned);
            case kIoctlDiskUpdateProperties:
                // Layouts are read from the image on every request; nothing is cached.
                return media_ == DiskMedia::NotReady ? fail(kErrorNotReady) : true;
            default:
                return fail(kErrorInvalidFunction);
        }
    }

  private:
    // The checks a read and a write share, in this order: the handle's access, the medium,
    // then whole sectors at a sector boundary.
    bool transferAllowed(bool access, std::uint32_t size) const {
        if (!access)
            return fail(kErrorAccessDenied);
        if (media_ == DiskMedia::NotReady)
            return fail(kErrorNotReady);
        if (position_.get() % kSectorSize != 0 || size % kSectorSize != 0)
            return fail(kErrorInvalidParameter);
        return true;
    }

    FaultTarget target() const { return FaultTarget{L"", image_->number()}; }

    DiskGeometry geometry() const {
        std::uint64_t cylinderBytes =
            std::uint64_t{kTracksPerCylinder} * kSectorsPerTrack * kSectorSize;
        std::uint32_t media =
            media_ == DiskMedia::Removable ? kMediaTypeRemovable : kMediaTypeFixed;
        return DiskGeometry{static_cast<std::int64_t>(image_->size() / cylinderBytes), media,
                            kTracksPerCylinder, kSectorsPerTrack, kSectorSize};
    }

    bool answerGeometryEx(void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) {
        if (media_ == DiskMedia::NotReady)
            return fail(kErrorNotReady);
        if (out == nullptr || outSize < kDiskGeometryExMinimumSize) {
            return fail(kErrorInsufficientBuffer);
        }
        DiskGeometryEx reply{};
        reply.geometry = geometry();
        reply.diskSize = static_cast<std::int64_t>(image_->size());
        std::uint32_t count = std::min<std::uint32_t>(outSize, sizeof(reply));
        std::memcpy(out, &reply, count);
        *bytesReturned = count;
        return true;
    }

    DiskInfo readTables() const {
        const DiskImage& image = *image_;
        DiskInfo disk;
        readDiskTables([&image](std::uint64_t offset, void* buffer,
                                std::size_t count) { return image.read(offset, buffer, count); },
                       image.size(), disk);
        return disk;
    }

    // The classic layout knows no GPT: Windows refuses it for GPT disks.
    bool answerLayout(void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) {
        if (media_ == DiskMedia::NotReady)
            return fail(kErrorNotReady);
        DiskInfo disk = readTables();
        if (disk.gptStyle)
            return fail(kErrorInvalidFunction);
        const MbrLayout& layout = disk.layout;
        if (!layout.valid)
            return fail(kErrorDiskCorrupt);
        std::size_t needed =
            kDriveLayoutEntryOffset + layout.slots.size() * sizeof(PartitionInformation);
        if (out == nullptr || outSize < needed)
            return fail(kErrorInsufficientBuffer);
        auto* bytes = static_cast<std::uint8_t*>(out);
        DriveLayoutInformationHeader header{static_cast<std::uint32_t>(layout.slots.size()),
                                            layout.signature};
        std::memcpy(bytes, &header, sizeof(header));
        std::uint32_t number = 1;
        for (std::size_t i = 0; i < layout.slots.size(); ++i) {
            PartitionInformation entry = toPartitionInformation(layout.slots[i], number);
            std::memcpy(bytes + kDriveLayoutEntryOffset + i * sizeof(entry), &entry, sizeof(entry));
        }
        *bytesReturned = static_cast<std::uint32_t>(needed);
        return true;
    }

    bool answerLayoutEx(void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) {
        if (media_ == DiskMedia::NotReady)
            return fail(kErrorNotReady);
        DiskInfo disk = readTables();
        if ((disk.gptStyle && !disk.gpt.valid) || !disk.layout.valid)
            return fail(kErrorDiskCorrupt);
        std::vector<PartitionInformationEx> entries =
            disk.gptStyle ? gptEntries(disk.gpt) : mbrEntries(disk.layout);
        std::size_t needed = kDriveLayoutExEntryOffset + entries.size() * sizeof(entries[0]);
        if (out == nullptr || outSize < needed)
            return fail(kErrorInsufficientBuffer);
        DriveLayoutInformationExHeader header{};
        header.partitionCount = static_cast<std::uint32_t>(entries.size());
        if (disk.gptStyle) {
            const gpt::Header& table = disk.gpt.primary;
            header.partitionStyle = kPartitionStyleGpt;
            DriveLayoutInformationGpt part{};
            part.diskId = table.diskGuid;
            part.startingUsableOffset =
                static_cast<std::int64_t>(table.firstUsableLba * kSectorSize);
            part.usableLength = static_cast<std::int64_t>(
                (table.lastUsableLba - table.firstUsableLba + 1) * kSectorSize);
            part.maxPartitionCount = table.entryCount;
            header.setGpt(part);
        } else {
            header.partitionStyle = disk.layout.hasTable ? kPartitionStyleMbr : kPartitionStyleRaw;
            header.setMbrSignature(disk.layout.signature);
        }
        auto* bytes = static_cast<std::uint8_t*>(out);
        std::memcpy(bytes, &header, sizeof header);
        if (!entries.empty()) {
            std::memcpy(bytes + kDriveLayoutExEntryOffset, entries.data(),
                        entries.size() * sizeof(entries[0]));
        }
        *bytesReturned = static_cast<std::uint32_t>(needed);
        return true;
    }

    static std::vector<PartitionInformationEx> mbrEntries(const MbrLayout& layout) {
        std::vector<PartitionInformationEx> entries;
        std::uint32_t number = 1;
        for (const auto& slot : layout.slots) {
            PartitionInformation classic = toPartitionInformation(slot, number);
            PartitionInformationEx entry{};
            entry.partitionStyle = kPartitionStyleMbr;
            entry.startingOffset = classic.startingOffset;
            entry.partitionLength = classic.partitionLength;
            entry.partitionNumber = classic.partitionNumber;
            PartitionInformationMbr part{};
            part.partitionType = classic.partitionType;
            part.bootIndicator = classic.bootIndicator;
            part.recognizedPartition = classic.recognizedPartition;
            part.hiddenSectors = classic.hiddenSectors;
            entry.setMbr(part);
            entries.push_back(entry);
        }
        return entries;
    }

    static std::vector<PartitionInformationEx> gptEntries(const gpt::Table& table) {
        std::vector<PartitionInformationEx> entries;
        std::uint32_t number = 1;
        for (const auto& partition : table.entries) {
            PartitionInformationEx entry{};
            entry.partitionStyle = kPartitionStyleGpt;
            entry.startingOffset = static_cast<std::int64_t>(partition.startingOffset());
            entry.partitionLength = static_cast<std::int64_t>(partition.length());
            entry.partitionNumber = number++;
            PartitionInformationGpt part{};
            part.partitionType = partition.type;
            part.partitionId = partition.unique;
            part.attributes = partition.attributes;
            std::memcpy(part.name, partition.name, sizeof part.name);
            entry.setGpt(part);
            entries.push_back(entry);
        }
        return entries;
    }

    Host& host_;
    std::unique_ptr<DiskImage> image_;
    DiskMedia media_;
    std::uint32_t access_;
    DevicePosition position_;
};

}  // namespace

std::unique_ptr<OpenFile> openDiskDevice(Host& host, std::uint32_t diskNumber,
                                         const OpenRequest& request) {
    if (request.creationDisposition != kOpenExisting) {
        setLastError(kErrorAccessDenied);
        return nullptr;
    }
    auto image = DiskImage::open(host, diskNumber, canWrite(request.desiredAccess));
    if (!image)
        return nullptr;
    HostConfig config;
    try {
        config = host.config();
    } catch (const std::exception&) {
        // An unreadable host.conf leaves the disk fixed.
    }
    return std::make_unique<DiskDevice>(host, std::move(image), diskMedia(config, diskNumber),
                                        request.desiredAccess);
}

}  // namespace platform::emulated
