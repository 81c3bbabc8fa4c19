// The emulated change-tracking driver's state, kept in files under the host root's
// driver/ folder because the agent and hostsim are separate processes:
//
//   driver/state     "0" (not tracking, as after a reboot) or "1" (tracking)
//   driver/queue     8-byte little-endian offset of the first pending record, then the
//                    24-byte change records in the order they were made
//   driver/volumes   one line per volume the driver has numbered: "NUMBER GUID-PATH"
//   driver/taken     how many records have been taken off the queue since it was made
//   driver/lock      held (flock) for every change of the files above
//
// Every method locks; calls from threads and processes interleave safely. Methods throw
// std::runtime_error when the files cannot be read or written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform::emulated {

struct DriverRecord {
    std::uint32_t volumeNumber = 0;
    std::uint64_t firstSector = 0;
    std::uint64_t sectorCount = 0;
    bool operator==(const DriverRecord&) const = default;
};

constexpr std::size_t kDriverRecordSize = 24;
void encodeDriverRecord(const DriverRecord& record, std::uint8_t* out);
DriverRecord decodeDriverRecord(const std::uint8_t* in);

class DriverStore {
  public:
    // Records the queue may hold before the driver gives up tracking: it then drops the
    // queue and reports state 0, so the agent knows its history has a gap.
    static constexpr std::uint64_t kDefaultMaxRecords = std::uint64_t{1} << 20;

    explicit DriverStore(std::filesystem::path hostRoot);

    // The driver is installed when driver/ exists.
    bool installed() const;
    void install();

    std::uint32_t state();
    void setState(std::uint32_t state);
    // State 0 and an empty queue, as after a reboot. Volume numbers stay.
    void reset();

    std::uint64_t pendingCount();
    // Appends the records while tracking (nothing in state 0). A queue that would grow
    // past maxRecords is dropped and the state set to 0. True when the records were kept.
    bool record(const std::vector<DriverRecord>& records,
                std::uint64_t maxRecords = kDefaultMaxRecords);
    // One write as the filter sees it: sectors of a volume named by its GUID path.
    struct VolumeChange {
        std::wstring guidPath;
        std::uint64_t firstSector = 0;
        std::uint64_t sectorCount = 0;
    };
    // As record(), numbering the volumes on the way, all under one lock. When the records
    // were kept, returns the sequence number of the last of them: it has been taken off
    // the queue once recordsTaken() reaches that number.
    std::optional<std::uint64_t> recordChanges(const std::vector<VolumeChange>& changes,
                                               std::uint64_t maxRecords = kDefaultMaxRecords);
    // Records taken off the queue since it was made (a count that only grows).
    std::uint64_t recordsTaken();
    // Removes and returns up to maxCount records from the front of the queue.
    std::vector<DriverRecord> take(std::uint64_t maxCount);
    // The first maxCount pending records, left in the queue.
    std::vector<DriverRecord> peek(std::uint64_t maxCount);

    // The volume's number, assigned on first use (numbers start at 1).
    std::uint32_t volumeNumber(const std::wstring& guidPath);
    std::optional<std::wstring> volumeGuidPath(std::uint32_t number);

  private:
    // Callers hold the lock.
    bool appendLocked(const std::vector<DriverRecord>& records, std::uint64_t maxRecords);
    std::uint32_t volumeNumberLocked(const std::wstring& guidPath);

    std::filesystem::path dir_;
};

}  // namespace platform::emulated
