#include "platform/emulated/driver/ChangeRecorder.h"

#include <algorithm>
#include <exception>

#include "platform/System.h"
#include "platform/emulated/driver/DriverStore.h"

namespace platform::emulated {
namespace {

std::uint64_t maxQueuedRecords(Host& host) {
    auto value = host.config().get("driver", "max-records");
    if (!value)
        return DriverStore::kDefaultMaxRecords;
    try {
        return std::stoull(*value);
    } catch (const std::exception&) {
        // A setting that is not a number counts as unset: writes keep being recorded,
        // with the default limit.
        return DriverStore::kDefaultMaxRecords;
    }
}

// The last record of the write this thread has on its way to the disk, if the driver kept
// one. Writes on one thread do not nest.
thread_local std::optional<std::uint64_t> writeInFlight;

}  // namespace

std::vector<VolumeWrite> volumeWritesFor(const std::vector<TrackedVolume>& volumes,
                                         std::uint32_t diskNumber, std::uint64_t offset,
                                         std::uint64_t length) {
    std::vector<VolumeWrite> writes;
    if (length == 0 || offset > UINT64_MAX - length)
        return writes;
    std::uint64_t end = offset + length;
    for (const TrackedVolume& volume : volumes) {
        std::uint64_t volumeOffset = 0;  // where the current extent starts inside the volume
        for (const VolumeExtent& extent : volume.extents) {
            std::uint64_t extentEnd = extent.offset + extent.length;
            if (extent.diskNumber == diskNumber && offset < extentEnd && end > extent.offset) {
                std::uint64_t first =
                    volumeOffset + std::max(offset, extent.offset) - extent.offset;
                std::uint64_t last = volumeOffset + std::min(end, extentEnd) - extent.offset - 1;
                std::uint64_t firstSector = first / kDriverSectorSize;
                writes.push_back(
                    {volume.guidPath, firstSector, last / kDriverSectorSize - firstSector + 1});
            }
            volumeOffset += extent.length;
        }
    }
    return writes;
}

void ChangeRecorder::dropTracking(const std::exception& error) {
    // The write goes ahead but could not be recorded: drop tracking, so the agent sees a
    // gap rather than a complete-looking history.
    outputDebugString(L"change-tracking driver: " + toWide(error.what()) + L"\n");
    try {
        DriverStore(host_.root()).reset();
    } catch (const std::exception& failure) {
        // The disk write must not fail because of the driver; the debug channel is the
        // only one a driver has.
        outputDebugString(L"change-tracking driver: cannot reset: " + toWide(failure.what()) +
                          L"\n");
    }
}

void ChangeRecorder::beforeDiskWrite(std::uint32_t diskNumber, std::uint64_t offset,
                                     std::uint64_t length) {
    writeInFlight.reset();
    try {
        writeInFlight = record(diskNumber, offset, length);
    } catch (const std::exception& error) {
        dropTracking(error);
    }
    host_.betweenRecordAndWrite();
}

void ChangeRecorder::afterDiskWrite(std::uint32_t diskNumber, std::uint64_t offset,
                                    std::uint64_t length) {
    std::optional<std::uint64_t> sequence;
    sequence.swap(writeInFlight);
    if (!sequence)
        return;
    try {
        if (DriverStore(host_.root()).recordsTaken() >= *sequence)
            record(diskNumber, offset, length);
    } catch (const std::exception& error) {
        dropTracking(error);
    }
}

std::optional<std::uint64_t> ChangeRecorder::record(std::uint32_t diskNumber, std::uint64_t offset,
                                                    std::uint64_t length) {
    DriverStore store(host_.root());
    if (!store.installed())
        return std::nullopt;
    std::vector<DriverStore::VolumeChange> changes;
    for (const VolumeWrite& write :
         volumeWritesFor(volumes_.current(host_), diskNumber, offset, length)) {
        changes.push_back({write.guidPath, write.firstSector, write.sectorCount});
    }
    // One lock for the state check, the volume numbers and the append.
    if (changes.empty())
        return std::nullopt;
    return store.recordChanges(changes, maxQueuedRecords(host_));
}

}  // namespace platform::emulated
