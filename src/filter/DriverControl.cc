#include "filter/DriverControl.h"

#include <algorithm>
#include <cstring>

#include "filter/DriverText.h"
#include "platform/ByteOrder.h"
#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/WideText.h"

namespace filter {
namespace {

constexpr std::uint32_t kFsctlGetNtfsVolumeData = 0x00090064;
constexpr std::uint32_t kNtfsVolumeDataSize = 96;
constexpr std::size_t kBytesPerSectorOffset = 40;
constexpr std::size_t kBytesPerClusterOffset = 44;
constexpr std::uint32_t kFirstNamesBufferSize = 1024;
// Far beyond any real name list; stops the doubling if the driver keeps asking for more.
constexpr std::uint32_t kMaxNamesBufferSize = 1u << 20;

}  // namespace

ChangeRecord decodeChangeRecord(const std::uint8_t* bytes) {
    ChangeRecord record;
    record.volumeNumber = static_cast<std::uint32_t>(platform::loadLittleEndian(bytes, 4));
    record.firstSector = platform::loadLittleEndian(bytes + 8, 8);
    record.sectorCount = platform::loadLittleEndian(bytes + 16, 8);
    return record;
}

bool DriverControl::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ =
        platform::createFile(kControlDevicePath, platform::kGenericRead | platform::kGenericWrite,
                             0, platform::kOpenExisting, 0);
    return device_.valid();
}

void DriverControl::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    device_.close();
}

std::optional<std::uint32_t> DriverControl::queryWord(std::uint32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint8_t reply[4] = {};
    std::uint32_t returned = 0;
    if (!platform::deviceIoControl(device_, code, nullptr, 0, reply, sizeof reply, &returned)) {
        return std::nullopt;
    }
    if (returned != sizeof reply)
        return std::nullopt;
    return static_cast<std::uint32_t>(platform::loadLittleEndian(reply, 4));
}

std::optional<std::uint32_t> DriverControl::pendingCount() {
    return queryWord(kIoctlGetPendingCount);
}

std::optional<std::uint32_t> DriverControl::state() {
    return queryWord(kIoctlGetState);
}

std::optional<std::uint32_t> DriverControl::readChanges(std::vector<std::uint8_t>& buffer,
                                                        std::uint32_t count) {
    std::size_t bytes = static_cast<std::size_t>(count) * kChangeRecordSize;
    if (bytes > UINT32_MAX)
        return std::nullopt;
    if (buffer.size() < bytes)
        buffer.resize(bytes);
    std::memset(buffer.data(), 0, bytes);
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint32_t returned = 0;
    if (!platform::deviceIoControl(device_, kIoctlReadChanges, nullptr, 0, buffer.data(),
                                   static_cast<std::uint32_t>(bytes), &returned)) {
        return std::nullopt;
    }
    // Never trust the reported size beyond what was asked for.
    return std::min<std::uint32_t>(returned / kChangeRecordSize, count);
}

bool DriverControl::setState(std::uint32_t state) {
    std::uint8_t request[4] = {
        static_cast<std::uint8_t>(state), static_cast<std::uint8_t>(state >> 8),
        static_cast<std::uint8_t>(state >> 16), static_cast<std::uint8_t>(state >> 24)};
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint32_t returned = 0;
    return platform::deviceIoControl(device_, kIoctlSetState, request, sizeof request, nullptr, 0,
                                     &returned);
}

std::optional<std::wstring> DriverControl::volumeNames(std::uint32_t volumeNumber) {
    std::uint8_t request[4] = {static_cast<std::uint8_t>(volumeNumber),
                               static_cast<std::uint8_t>(volumeNumber >> 8),
                               static_cast<std::uint8_t>(volumeNumber >> 16),
                               static_cast<std::uint8_t>(volumeNumber >> 24)};
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::uint32_t size = kFirstNamesBufferSize; size <= kMaxNamesBufferSize; size *= 2) {
        std::vector<std::uint8_t> reply(size, 0);
        std::uint32_t returned = 0;
        if (platform::deviceIoControl(device_, kIoctlGetVolumeNames, request, sizeof request,
                                      reply.data(), size, &returned)) {
            return decodeUtf16Le(reply.data(), std::min(returned, size));
        }
        if (platform::getLastError() != platform::kErrorInsufficientBuffer)
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> ntfsSectorsPerCluster(const std::wstring& volumeName) {
    // A volume name with its trailing backslash names the root directory, not the volume.
    std::wstring device = platform::withoutTrailingBackslashes(volumeName);
    if (device.empty())
        return std::nullopt;
    platform::FileHandle volume = platform::createFile(
        device, platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
        platform::kOpenExisting, 0);
    if (!volume)
        return std::nullopt;
    std::uint8_t reply[kNtfsVolumeDataSize] = {};
    std::uint32_t returned = 0;
    if (!platform::deviceIoControl(volume, kFsctlGetNtfsVolumeData, nullptr, 0, reply, sizeof reply,
                                   &returned) ||
        returned < kBytesPerClusterOffset + 4) {
        return std::nullopt;
    }
    auto bytesPerSector =
        static_cast<std::uint32_t>(platform::loadLittleEndian(reply + kBytesPerSectorOffset, 4));
    auto bytesPerCluster =
        static_cast<std::uint32_t>(platform::loadLittleEndian(reply + kBytesPerClusterOffset, 4));
    if (bytesPerSector == 0 || bytesPerCluster < bytesPerSector ||
        bytesPerCluster % bytesPerSector != 0) {
        return std::nullopt;
    }
    return bytesPerCluster / bytesPerSector;
}

}  // namespace filter
