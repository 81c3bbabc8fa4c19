#include "platform/emulated/storage/VolumeDevice.h"

#include <algorithm>
#include <map>

#include "platform/emulated/storage/DeviceCommon.h"
#include "platform/emulated/storage/DiskImage.h"
#include "platform/emulated/storage/FaultInjector.h"
#include "platform/emulated/storage/MbrLayout.h"
#include "platform/emulated/storage/NtfsQueries.h"
#include "platform/emulated/storage/VolumeLocks.h"

namespace platform::emulated {
namespace {

bool sectorAligned(std::uint64_t value) {
    return value % kSectorSize == 0;
}

class VolumeDevice : public OpenFile {
  public:
    VolumeDevice(std::shared_ptr<VolumeByteSource> source, VolumeDeviceInfo info,
                 std::uint32_t access)
        : source_(std::move(source)), info_(std::move(info)), access_(access) {
        if (!info_.lockVolume.empty()) {
            registration_ = std::make_unique<VolumeHandleRegistration>(host(), info_.lockVolume,
                                                                       canWrite(access));
        }
    }

    bool read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead) override {
        *bytesRead = 0;
        if (!canRead(access_))
            return fail(kErrorAccessDenied);
        if (std::uint32_t refused = registration_ ? registration_->mayRead() : kErrorSuccess)
            return fail(refused);
        std::uint64_t position = position_.get();
        if (!sectorAligned(position) || !sectorAligned(size))
            return fail(kErrorInvalidParameter);
        std::uint64_t end = source_->size();
        if (position >= end || size == 0)
            return true;
        auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, end - position));
        if (auto fault = readFault(position, length))
            return fail(fault->error);
        if (!source_->read(position, buffer, length))
            return false;
        position_.advance(length);
        *bytesRead = length;
        return true;
    }

    bool write(const void* buffer, std::uint32_t size, std::uint32_t* bytesWritten) override {
        *bytesWritten = 0;
        if (!canWrite(access_) || !source_->writable())
            return fail(kErrorAccessDenied);
        if (std::uint32_t refused = registration_ ? registration_->mayWrite() : kErrorSuccess)
            return fail(refused);
        std::uint64_t position = position_.get();
        if (!sectorAligned(position) || !sectorAligned(size))
            return fail(kErrorInvalidParameter);
        if (position > source_->size() || size > source_->size() - position) {
            return fail(kErrorSectorNotFound);
        }
        std::uint32_t length = size;
        if (auto fault = writeFault(position, size)) {
            if (fault->kind == InjectedFault::Kind::Error)
                return fail(fault->error);
            length = static_cast<std::uint32_t>(fault->bytesWritten);
        }
        if (length > 0 && !source_->write(position, buffer, length))
            return false;
        position_.advance(length);
        *bytesWritten = length;
        return true;
    }

    bool seek(std::int64_t distance, std::uint32_t method, std::uint64_t* newPosition) override {
        return position_.seek(distance, method, source_->size(), newPosition);
    }

    bool ioControl(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                   std::uint32_t outSize, std::uint32_t* bytesReturned) override {
        *bytesReturned = 0;
        if (!allowsControl(access_, code))
            return false;
        switch (code) {
            case kIoctlDiskGetLengthInfo:
                return replyWith(GetLengthInformation{static_cast<std::int64_t>(source_->size())},
                                 out, outSize, bytesReturned);
            case kIoctlVolumeGetVolumeDiskExtents:
                return answerExtents(out, outSize, bytesReturned);
            case kIoctlDiskGetDriveGeometry:
                // A volume answers with its disk's sector size, which is what writes to it
                // must be whole multiples of.
                return replyWith(DiskGeometry{0, kMediaTypeFixed, 255, 63, kSectorSize}, out,
                                 outSize, bytesReturned);
            case kIoctlStorageQueryProperty:
                return answerAccessAlignment(in, inSize, out, outSize, bytesReturned);
            case kFsctlGetNtfsVolumeData:
                return answerNtfsVolumeData(*source_, out, outSize, bytesReturned);
            case kFsctlGetVolumeBitmap:
                return answerVolumeBitmap(*source_, in, inSize, out, outSize, bytesReturned);
            case kFsctlLockVolume:
                return answerLock(&VolumeHandleRegistration::lock);
            case kFsctlUnlockVolume:
                return answerLock(&VolumeHandleRegistration::unlock);
            case kFsctlDismountVolume:
                return answerLock(&VolumeHandleRegistration::dismount);
            case kFsctlAllowExtendedDasdIo:
                return true;  // the emulated volume always reaches its whole partition
            default:
                return fail(kErrorInvalidFunction);
        }
    }

  private:
    static bool answerAccessAlignment(const void* in, std::uint32_t inSize, void* out,
                                      std::uint32_t outSize, std::uint32_t* bytesReturned) {
        StoragePropertyQuery query{};
        if (!inputOf(in, inSize, query))
            return false;
        if (query.propertyId != kStorageAccessAlignmentProperty ||
            query.queryType != kPropertyStandardQuery) {
            return fail(kErrorNotSupported);
        }
        StorageAccessAlignmentDescriptor reply{};
        reply.version = reply.size = sizeof reply;
        reply.bytesPerCacheLine = 64;
        reply.bytesPerLogicalSector = reply.bytesPerPhysicalSector = kSectorSize;
        return replyWith(reply, out, outSize, bytesReturned);
    }

    bool answerLock(std::uint32_t (VolumeHandleRegistration::*request)()) {
        if (!registration_)
            return true;
        std::uint32_t error = ((*registration_).*request)();
        return error == kErrorSuccess || fail(error);
    }

    bool answerExtents(void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) {
        const auto& extents = info_.extents;
        if (extents.empty())
            return fail(kErrorInvalidFunction);
        if (out == nullptr || outSize < kVolumeDiskExtentsMinimumSize) {
            return fail(kErrorInsufficientBuffer);
        }
        std::size_t room = (outSize - sizeof(VolumeDiskExtentsHeader)) / sizeof(DiskExtent);
        std::size_t count = std::min(room, extents.size());
        auto* bytes = static_cast<std::uint8_t*>(out);
        VolumeDiskExtentsHeader header{static_cast<std::uint32_t>(extents.size()), 0};
        std::memcpy(bytes, &header, sizeof(header));
        for (std::size_t i = 0; i < count; ++i) {
            DiskExtent extent{extents[i].diskNumber, 0,
                              static_cast<std::int64_t>(extents[i].offset),
                              static_cast<std::int64_t>(extents[i].length)};
            std::memcpy(bytes + sizeof(header) + i * sizeof(extent), &extent, sizeof(extent));
        }
        *bytesReturned = static_cast<std::uint32_t>(sizeof(header) + count * sizeof(DiskExtent));
        if (count < extents.size())
            return fail(kErrorMoreData);
        return true;
    }

    Host& host() { return info_.host != nullptr ? *info_.host : Host::current(); }

    std::optional<InjectedFault> readFault(std::uint64_t offset, std::uint64_t length) {
        if (info_.faultVolume.empty())
            return std::nullopt;
        return injectReadFault(host(), FaultTarget{info_.faultVolume, std::nullopt}, offset,
                               length);
    }

    std::optional<InjectedFault> writeFault(std::uint64_t offset, std::uint64_t length) {
        if (info_.faultVolume.empty())
            return std::nullopt;
        return injectWriteFault(host(), FaultTarget{info_.faultVolume, std::nullopt}, offset,
                                length);
    }

    std::shared_ptr<VolumeByteSource> source_;
    VolumeDeviceInfo info_;
    std::uint32_t access_;
    DevicePosition position_;
    std::unique_ptr<VolumeHandleRegistration> registration_;
};

// A file or directory inside the volume's NTFS, opened for its attributes and extents.
class FileInVolume : public OpenFile {
  public:
    FileInVolume(std::shared_ptr<VolumeByteSource> source, std::wstring path)
        : source_(std::move(source)), path_(std::move(path)) {}

    bool read(void*, std::uint32_t, std::uint32_t* bytesRead) override {
        *bytesRead = 0;
        return fail(kErrorNotSupported);
    }
    bool write(const void*, std::uint32_t, std::uint32_t* bytesWritten) override {
        *bytesWritten = 0;
        return fail(kErrorAccessDenied);
    }
    bool seek(std::int64_t, std::uint32_t, std::uint64_t*) override {
        return fail(kErrorNotSupported);
    }
    bool ioControl(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                   std::uint32_t outSize, std::uint32_t* bytesReturned) override {
        *bytesReturned = 0;
        if (code != kFsctlGetRetrievalPointers)
            return fail(kErrorInvalidFunction);
        return answerRetrievalPointers(*source_, path_, in, inSize, out, outSize, bytesReturned);
    }

  private:
    std::shared_ptr<VolumeByteSource> source_;
    std::wstring path_;
};

// A live volume: its extents on the disk images, in volume order.
class LiveVolumeSource : public VolumeByteSource {
  public:
    LiveVolumeSource(std::vector<VolumeExtent> extents,
                     std::map<std::uint32_t, std::unique_ptr<DiskImage>> images, bool writable)
        : extents_(std::move(extents)), images_(std::move(images)), writable_(writable) {
        for (const auto& extent : extents_)
            size_ += extent.length;
    }

    std::uint64_t size() const override { return size_; }
    bool writable() const override { return writable_; }

    bool read(std::uint64_t offset, void* buffer, std::size_t length) override {
        return forEachPiece(
            offset, length,
            [&](DiskImage& image, std::uint64_t diskOffset, std::size_t done, std::size_t count) {
                return image.read(diskOffset, static_cast<std::uint8_t*>(buffer) + done, count);
            });
    }

    bool write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        if (!writable_)
            return fail(kErrorAccessDenied);
        return forEachPiece(
            offset, length,
            [&](DiskImage& image, std::uint64_t diskOffset, std::size_t done, std::size_t count) {
                return image.write(diskOffset, static_cast<const std::uint8_t*>(buffer) + done,
                                   count);
            });
    }

  private:
    // Splits [offset, offset + length) of the volume into pieces on single extents.
    template <typename Action>
    bool forEachPiece(std::uint64_t offset, std::size_t length, Action action) {
        if (offset > size_ || length > size_ - offset)
            return fail(kErrorSectorNotFound);
        std::size_t done = 0;
        std::uint64_t extentStart = 0;
        for (const auto& extent : extents_) {
            std::uint64_t extentEnd = extentStart + extent.length;
            std::uint64_t at = offset + done;
            if (done < length && at < extentEnd) {
                std::size_t count = static_cast<std::size_t>(
                    std::min<std::uint64_t>(length - done, extentEnd - at));
                DiskImage& image = *images_.at(extent.diskNumber);
                if (!action(image, extent.offset + (at - extentStart), done, count))
                    return false;
                done += count;
            }
            extentStart = extentEnd;
        }
        return true;
    }

    std::vector<VolumeExtent> extents_;
    std::map<std::uint32_t, std::unique_ptr<DiskImage>> images_;
    bool writable_;
    std::uint64_t size_ = 0;
};

std::wstring normalisedInnerPath(const std::wstring& rest) {
    std::wstring path = rest;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

}  // namespace

bool VolumeByteSource::write(std::uint64_t, const void*, std::size_t) {
    return fail(kErrorAccessDenied);
}

std::unique_ptr<OpenFile> openVolumeDevice(std::shared_ptr<VolumeByteSource> source,
                                           VolumeDeviceInfo info, const OpenRequest& request) {
    if (request.creationDisposition != kOpenExisting &&
        request.creationDisposition != kOpenAlways) {
        setLastError(kErrorAccessDenied);
        return nullptr;
    }
    if (canWrite(request.desiredAccess) && !source->writable()) {
        setLastError(kErrorAccessDenied);
        return nullptr;
    }
    return std::make_unique<VolumeDevice>(std::move(source), std::move(info),
                                          request.desiredAccess);
}

std::unique_ptr<OpenFile> openFileInVolume(std::shared_ptr<VolumeByteSource> source,
                                           const std::wstring& pathInVolume,
                                           const OpenRequest& request) {
    if (request.creationDisposition != kOpenExisting || canWrite(request.desiredAccess)) {
        // Files inside an emulated volume are read-only.
        setLastError(kErrorAccessDenied);
        return nullptr;
    }
    std::wstring path = normalisedInnerPath(pathInVolume);
    if (!ntfsFileExists(*source, path))
        return nullptr;
    return std::make_unique<FileInVolume>(std::move(source), std::move(path));
}

std::unique_ptr<OpenFile> openVolumePath(std::shared_ptr<VolumeByteSource> source,
                                         VolumeDeviceInfo info, const std::wstring& rest,
                                         const OpenRequest& request) {
    if (rest.empty())
        return openVolumeDevice(std::move(source), std::move(info), request);
    if (rest == L"\\" && (request.flagsAndAttributes & kFileFlagBackupSemantics) == 0) {
        // The root directory opens only as a directory.
        setLastError(kErrorAccessDenied);
        return nullptr;
    }
    return openFileInVolume(std::move(source), rest, request);
}

std::shared_ptr<VolumeByteSource> liveVolumeSource(Host& host, const VolumeInfo& volume,
                                                   bool writable) {
    std::map<std::uint32_t, std::unique_ptr<DiskImage>> images;
    for (const auto& extent : volume.extents) {
        if (images.count(extent.diskNumber) != 0)
            continue;
        auto image = DiskImage::open(host, extent.diskNumber, writable);
        if (!image)
            return nullptr;
        images.emplace(extent.diskNumber, std::move(image));
    }
    return std::make_shared<LiveVolumeSource>(volume.extents, std::move(images), writable);
}

}  // namespace platform::emulated
