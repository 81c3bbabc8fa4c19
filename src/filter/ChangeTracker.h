// The agent's side of the change-tracking driver. A monitor thread drains the driver's
// change records into one VolumeChanges per volume; request threads ask, inside a flush
// handshake, which blocks of a volume changed in the current period, what its journal key
// is, and switch tracking on for a volume.
//
// Request threads act only after a completed drain (see Flush), so what they see is
// every write the driver recorded before the handshake began. The maps are also guarded
// by a mutex, so a caller that skips the handshake gets an empty answer, never a race.
//
// The agent owns the one instance it uses and hands it to the backup requests; tests build
// their own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "filter/DriverControl.h"
#include "filter/Event.h"
#include "filter/JournalKey.h"
#include "filter/MapBitmap.h"
#include "filter/VolumeChanges.h"

namespace filter {

class ChangeTracker {
  public:
    // Records read per pass while polling, and at most per pass while draining.
    static constexpr std::uint32_t kPollBatch = 1024;
    static constexpr std::uint32_t kMaxDrainBatch = 65536;
    // How long the monitor rests after a poll that found nothing.
    static constexpr std::chrono::milliseconds kIdlePause{50};
    static constexpr std::chrono::milliseconds kStopTimeout{100000};

    ChangeTracker() = default;
    virtual ~ChangeTracker();
    ChangeTracker(const ChangeTracker&) = delete;
    ChangeTracker& operator=(const ChangeTracker&) = delete;

    // Opens the driver's control device; logs the failure at ERROR and returns false.
    bool open();
    bool isOpen() const { return device_.isOpen(); }
    // Starts the monitor thread polling (nothing without an open device or when running).
    void startMonitor();
    // Stops and joins the monitor thread, then writes the tracking state when a folder for
    // it was given.
    void stopMonitor();
    // The folder where the tracking state outlives the agent: what a previous run left
    // there is read back (and removed, so a run that ends without writing it never leaves
    // an outdated one), provided the driver has kept tracking since; stopMonitor writes
    // it again. Call after open() and before startMonitor().
    void keepStateIn(const std::filesystem::path& folder);

    // The flush handshake: construction asks the monitor to drain every record pending at
    // that moment and waits until it has; destruction lets the monitor poll again. Handshakes of
    // different threads follow one another. Without a running monitor nothing is
    // drained and the queries inside answer nothing.
    class Flush {
      public:
        explicit Flush(ChangeTracker& tracker);
        ~Flush();
        Flush(const Flush&) = delete;
        Flush& operator=(const Flush&) = delete;

      private:
        ChangeTracker& tracker_;
        std::lock_guard<std::mutex> serialise_;
    };

    // The queries answer nothing (false, null) when the device is not open, outside a
    // completed drain, or when the volume is not tracked. Names are volume GUID paths;
    // a missing trailing backslash is added. They never throw.

    // Copies the volume's journal key into key; key is all zeros when none is known.
    bool getJournalKey(const std::wstring& volumeName, JournalKey& key);
    // Ends the volume's tracking period (new key, no changes) and returns the period's
    // changes when presentedKey was that period's key; null otherwise.
    std::unique_ptr<MapBitmap> takeChanges(const std::wstring& volumeName,
                                           const JournalKey& presentedKey);
    // The changes of the current period so far.
    std::unique_ptr<MapBitmap> copyChanges(const std::wstring& volumeName);
    // As above, but only while the current period is the one named by periodKey: null
    // when that period was lost (a driver reset, its queue overflowing) or has ended.
    std::unique_ptr<MapBitmap> copyChanges(const std::wstring& volumeName,
                                           const JournalKey& periodKey);
    // Switches tracking on for the volume (and for the driver).
    void startChangeTracking(const std::wstring& volumeName);

    // The lock a backup holds while it prepares its snapshot; only ever tried. The lock
    // is released when the returned object goes away; owns_lock() tells if it was taken.
    std::unique_lock<std::mutex> tryBackupLock();

  private:
    void monitorLoop();
    void monitorPasses();
    void drainPass();
    // Polls once; the number of records read.
    std::uint32_t pollPass();
    void finishDrain();
    // Reads up to count records and applies them; nothing when the read failed.
    std::optional<std::uint32_t> readAndApply(std::uint32_t count);
    void applyRecords(std::uint32_t count);
    VolumeChanges& volumeFor(std::uint32_t volumeNumber);
    std::unique_ptr<VolumeChanges> describeVolume(std::uint32_t volumeNumber);
    // Switches the driver back on after it lost its state and forgets everything the
    // agent knew, since the driver's history has a gap. True when that happened.
    bool ensureTracking();
    void discardPendingRecords();
    void forgetVolumes(const char* reason);
    VolumeChanges* trackedVolume(const std::wstring& volumeName);
    // Callers hold stateMutex_. A period started on a volume the driver has not numbered
    // yet goes on in the numbered volume once the driver reports it.
    void adoptUnnumbered(VolumeChanges& volume);
    void restoreState();
    void saveState();
    bool monitorRunning() const { return monitorRunning_.load(); }

    Event flushRequest_{Event::Reset::Manual};
    Event flushDone_{Event::Reset::Manual};
    Event poll_{Event::Reset::Manual};
    Event stop_{Event::Reset::Auto};
    Event monitorExited_{Event::Reset::Manual};
    std::thread monitorThread_;
    std::atomic<bool> monitorRunning_{false};
    std::mutex backupLock_;  // held by the backup that is preparing its snapshot
    DriverControl device_;

    std::mutex stateMutex_;  // guards the four maps below
    std::map<std::uint32_t, std::unique_ptr<VolumeChanges>> volumes_;
    std::map<std::wstring, std::uint32_t> volumeNumbers_;
    std::map<std::wstring, std::uint32_t> tracking_;
    // Tracked volumes that no record has named yet (the driver numbers a volume at its
    // first write), by name: their period and key exist from the moment tracking starts,
    // so a quiet volume's next backup is incremental too.
    std::map<std::wstring, std::unique_ptr<VolumeChanges>> unnumbered_;
    std::filesystem::path stateFolder_;

    std::mutex flushMutex_;  // one flush handshake with the monitor thread at a time

    // Monitor thread only.
    std::vector<std::uint8_t> buffer_;
    bool draining_ = false;
    std::uint64_t drainRemaining_ = 0;
    unsigned drainFailures_ = 0;
};

}  // namespace filter
