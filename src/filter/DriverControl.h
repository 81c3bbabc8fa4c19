// The change-tracking driver's control device and its five control requests. Every call
// reports failure instead of throwing; the caller decides what a failure means. Calls are
// serialised, so the monitor thread and request threads may share one instance.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/File.h"

namespace filter {

constexpr wchar_t kControlDevicePath[] = L"\\\\.\\VardexControlDevice";

// Control codes: device type 0x22, FILE_ANY_ACCESS, buffered.
constexpr std::uint32_t kIoctlGetPendingCount = 0x221E24;
constexpr std::uint32_t kIoctlReadChanges = 0x221E22;
constexpr std::uint32_t kIoctlGetState = 0x221E34;
constexpr std::uint32_t kIoctlSetState = 0x221E30;
constexpr std::uint32_t kIoctlGetVolumeNames = 0x221E54;

constexpr std::uint32_t kDriverStateTracking = 1;

// One change record as the driver delivers it (24 bytes, little-endian): volume number,
// 4 bytes of padding, first sector written, number of sectors written.
constexpr std::size_t kChangeRecordSize = 24;
struct ChangeRecord {
    std::uint32_t volumeNumber = 0;
    std::uint64_t firstSector = 0;
    std::uint64_t sectorCount = 0;
};
ChangeRecord decodeChangeRecord(const std::uint8_t* bytes);

class DriverControl {
  public:
    // Opens the control device (read and write, no sharing); false with the platform's
    // last error set on failure.
    bool open();
    bool isOpen() const { return device_.valid(); }
    void close();

    std::optional<std::uint32_t> pendingCount();
    // Reads up to count records into buffer (resized to hold them, never shrunk); returns
    // how many were delivered, or nothing when the request failed.
    std::optional<std::uint32_t> readChanges(std::vector<std::uint8_t>& buffer,
                                             std::uint32_t count);
    std::optional<std::uint32_t> state();
    bool setState(std::uint32_t state);
    // The volume's names as the driver reports them (";"-separated); nothing on failure.
    std::optional<std::wstring> volumeNames(std::uint32_t volumeNumber);

  private:
    std::optional<std::uint32_t> queryWord(std::uint32_t code);

    std::mutex mutex_;  // guards device_: opening, closing and each request through it
    platform::FileHandle device_;
};

// Sectors per cluster of the NTFS volume at path (a volume name, with or without its
// trailing backslash); nothing when it cannot be opened or is not NTFS.
std::optional<std::uint32_t> ntfsSectorsPerCluster(const std::wstring& volumeName);

}  // namespace filter
