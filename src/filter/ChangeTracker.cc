#include "filter/ChangeTracker.h"

#include <algorithm>
#include <iostream>

#include "filter/DriverText.h"
#include "logging/Logger.h"
#include "platform/System.h"

namespace filter {
namespace {

// A drain whose reads keep failing gives up after this many attempts in a row.
constexpr unsigned kMaxDrainFailures = 3;
constexpr std::chrono::milliseconds kFlushCheckInterval{100};

}  // namespace

ChangeTracker::~ChangeTracker() {
    stopMonitor();
}

bool ChangeTracker::open() {
    if (device_.open())
        return true;
    std::string text = platform::toNarrow(platform::formatMessage(platform::getLastError()));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    logging::logError() << "Failed to open control device.  Have you rebooted since the agent was "
                           "installed? Error: "
                        << text;
    return false;
}

void ChangeTracker::startMonitor() {
    if (!device_.isOpen() || monitorThread_.joinable())
        return;
    stop_.reset();
    monitorExited_.reset();
    flushRequest_.reset();
    flushDone_.reset();
    draining_ = false;
    monitorRunning_ = true;
    monitorThread_ = std::thread([this] { monitorLoop(); });
    poll_.set();
}

void ChangeTracker::stopMonitor() {
    if (!monitorThread_.joinable())
        return;
    poll_.reset();
    stop_.set();
    if (!monitorExited_.wait(kStopTimeout)) {
        logging::logWarn()
            << "The change-tracking monitor did not stop in time; still waiting for it";
    }
    monitorThread_.join();
}

void ChangeTracker::monitorLoop() {
    try {
        monitorPasses();
    } catch (const std::exception& error) {
        logging::logError() << "Change-tracking monitor failed: " << error.what();
    }
    monitorRunning_ = false;
    monitorExited_.set();
}

void ChangeTracker::monitorPasses() {
    bool idle = false;
    for (;;) {
        // After a poll that found nothing, rest a little instead of asking the driver
        // again at once, but still answer a stop or a flush request immediately.
        auto woken = idle ? waitForAny({&stop_, &flushRequest_}, kIdlePause)
                          : waitForAny({&stop_, &flushRequest_, &poll_}, std::nullopt);
        if (woken == std::size_t{0})
            return;
        if (woken == std::size_t{1}) {
            idle = false;
            drainPass();
        } else if (woken || poll_.isSet()) {
            idle = pollPass() == 0;
        } else {
            idle = false;
        }
    }
}

std::uint32_t ChangeTracker::pollPass() {
    ensureTracking();
    return readAndApply(kPollBatch).value_or(0);
}

void ChangeTracker::drainPass() {
    if (!draining_) {
        draining_ = true;
        drainFailures_ = 0;
        drainRemaining_ = device_.pendingCount().value_or(0);
    }
    if (ensureTracking()) {
        // Everything pending was discarded with the lost state.
        finishDrain();
        return;
    }
    auto count =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(drainRemaining_, kMaxDrainBatch));
    std::optional<std::uint32_t> read = readAndApply(count);
    if (!read) {
        if (++drainFailures_ >= kMaxDrainFailures) {
            // Records the driver could not hand over are a gap in every volume's history.
            forgetVolumes("the driver's change records could not be read");
            finishDrain();
        }
        return;
    }
    drainFailures_ = 0;
    drainRemaining_ -= std::min<std::uint64_t>(*read, drainRemaining_);
    // A driver that delivers nothing has nothing more to give, whatever it counted.
    if (drainRemaining_ == 0 || *read == 0)
        finishDrain();
}

void ChangeTracker::finishDrain() {
    draining_ = false;
    flushRequest_.reset();
    poll_.reset();
    flushDone_.set();
}

std::optional<std::uint32_t> ChangeTracker::readAndApply(std::uint32_t count) {
    if (count == 0)
        return 0;
    std::optional<std::uint32_t> read = device_.readChanges(buffer_, count);
    if (read && *read > 0)
        applyRecords(*read);
    return read;
}

void ChangeTracker::applyRecords(std::uint32_t count) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    for (std::uint32_t i = 0; i < count; ++i) {
        ChangeRecord record = decodeChangeRecord(buffer_.data() + i * kChangeRecordSize);
        VolumeChanges& volume = volumeFor(record.volumeNumber);
        if (volume.names().empty())
            continue;
        auto flag = tracking_.find(volume.name());
        if (flag != tracking_.end() && flag->second == 1) {
            volume.addSectors(record.firstSector, record.sectorCount);
        }
    }
}

VolumeChanges& ChangeTracker::volumeFor(std::uint32_t volumeNumber) {
    auto it = volumes_.find(volumeNumber);
    if (it != volumes_.end())
        return *it->second;
    std::unique_ptr<VolumeChanges> volume = describeVolume(volumeNumber);
    for (const std::wstring& name : volume->names()) {
        if (!name.empty())
            volumeNumbers_[withTrailingBackslash(name)] = volumeNumber;
    }
    return *volumes_.emplace(volumeNumber, std::move(volume)).first->second;
}

std::unique_ptr<VolumeChanges> ChangeTracker::describeVolume(std::uint32_t volumeNumber) {
    std::vector<std::wstring> names =
        splitVolumeNames(device_.volumeNames(volumeNumber).value_or(L""));
    std::uint32_t sectorsPerBlock = VolumeChanges::kDefaultSectorsPerBlock;
    if (!names.empty()) {
        sectorsPerBlock = ntfsSectorsPerCluster(names.front()).value_or(sectorsPerBlock);
    }
    logging::logDebug() << "Change tracking: volume " << volumeNumber << " is "
                        << (names.empty() ? std::string("unnamed")
                                          : platform::toNarrow(names.front()))
                        << ", " << sectorsPerBlock << " sectors per block";
    return std::make_unique<VolumeChanges>(volumeNumber, std::move(names), sectorsPerBlock);
}

bool ChangeTracker::ensureTracking() {
    std::optional<std::uint32_t> state = device_.state();
    if (!state || *state != 0)
        return false;
    // Discard first, then switch on: nothing recorded once tracking is on is dropped.
    discardPendingRecords();
    device_.setState(kDriverStateTracking);
    forgetVolumes("the change-tracking driver lost its state");
    return true;
}

void ChangeTracker::discardPendingRecords() {
    std::uint64_t remaining = device_.pendingCount().value_or(0);
    std::vector<std::uint8_t> scratch;
    while (remaining > 0) {
        auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, kMaxDrainBatch));
        std::optional<std::uint32_t> read = device_.readChanges(scratch, count);
        if (!read || *read == 0)
            break;
        remaining -= std::min<std::uint64_t>(*read, remaining);
    }
}

void ChangeTracker::forgetVolumes(const char* reason) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    bool knewSomething = !volumes_.empty() || std::any_of(tracking_.begin(), tracking_.end(),
                                                          [](auto& f) { return f.second == 1; });
    volumes_.clear();
    // The driver may number volumes differently after it restarted.
    volumeNumbers_.clear();
    for (auto& flag : tracking_)
        flag.second = 0;
    if (knewSomething) {
        logging::logWarn() << "Change tracking restarted: " << reason
                           << "; the next backup of every volume compares all blocks";
    } else {
        logging::logInfo() << "Change tracking switched on";
    }
}

ChangeTracker::Flush::Flush(ChangeTracker& tracker)
    : tracker_(tracker), serialise_(tracker.flushMutex_) {
    // Without a monitor nothing is drained, and the queries inside answer nothing.
    if (!tracker_.monitorRunning())
        return;
    // Always a fresh drain, so the answers include every write made before this point.
    tracker_.flushDone_.reset();
    tracker_.flushRequest_.set();
    while (!tracker_.flushDone_.wait(kFlushCheckInterval)) {
        if (!tracker_.monitorRunning())
            break;
    }
}

ChangeTracker::Flush::~Flush() {
    if (!tracker_.flushDone_.isSet())
        return;
    tracker_.flushRequest_.reset();
    tracker_.flushDone_.reset();
    tracker_.poll_.set();
}

VolumeChanges* ChangeTracker::trackedVolume(const std::wstring& volumeName) {
    if (!device_.isOpen() || !flushDone_.isSet())
        return nullptr;
    std::wstring name = withTrailingBackslash(volumeName);
    auto flag = tracking_.find(name);
    if (flag == tracking_.end() || flag->second != 1)
        return nullptr;
    auto number = volumeNumbers_.find(name);
    if (number == volumeNumbers_.end())
        return nullptr;
    auto volume = volumes_.find(number->second);
    return volume == volumes_.end() ? nullptr : volume->second.get();
}

bool ChangeTracker::getJournalKey(const std::wstring& volumeName, JournalKey& key) {
    key.fill(0);
    try {
        std::lock_guard<std::mutex> lock(stateMutex_);
        VolumeChanges* volume = trackedVolume(volumeName);
        if (volume == nullptr)
            return false;
        key = volume->journalKey();
        return true;
    } catch (const std::exception& error) {
        // Out of memory or a failed lock: answered as untracked, which makes the backup
        // verify every block by checksum.
        logging::logWarn() << "Change tracking: journal key not read: " << error.what();
        return false;
    }
}

std::unique_ptr<MapBitmap> ChangeTracker::takeChanges(const std::wstring& volumeName,
                                                      const JournalKey& presentedKey) {
    try {
        std::lock_guard<std::mutex> lock(stateMutex_);
        VolumeChanges* volume = trackedVolume(volumeName);
        if (volume == nullptr)
            return nullptr;
        VolumeChanges::Period period = volume->endPeriod();
        if (period.journalKey != presentedKey)
            return nullptr;
        return std::move(period.changes);
    } catch (const std::exception& error) {
        // As untracked: the backup that asked restarts tracking and sends every used block.
        logging::logWarn() << "Change tracking: changes not taken: " << error.what();
        return nullptr;
    }
}

std::unique_ptr<MapBitmap> ChangeTracker::copyChanges(const std::wstring& volumeName) {
    try {
        std::lock_guard<std::mutex> lock(stateMutex_);
        VolumeChanges* volume = trackedVolume(volumeName);
        if (volume == nullptr)
            return nullptr;
        return std::make_unique<MapBitmap>(volume->changes());
    } catch (const std::exception& error) {
        // Out of memory copying the bitmap: the backup goes without the late changes,
        // which stay in the current period for the next backup.
        logging::logWarn() << "Change tracking: changes not copied: " << error.what();
        return nullptr;
    }
}

void ChangeTracker::startChangeTracking(const std::wstring& volumeName) {
    if (!device_.isOpen())
        return;
    try {
        // A state loss not yet seen by the monitor must be handled before tracking is
        // switched on, or the gap it left would go unnoticed.
        ensureTracking();
        device_.setState(kDriverStateTracking);
        std::lock_guard<std::mutex> lock(stateMutex_);
        std::wstring name = withTrailingBackslash(volumeName);
        auto number = volumeNumbers_.find(name);
        if (number == volumeNumbers_.end()) {
            tracking_[name] = 1;
            return;
        }
        auto volume = volumes_.find(number->second);
        if (volume == volumes_.end()) {
            std::cout << "StartChangeTracking failed looking for volumeID " << number->second
                      << "\n";
            return;
        }
        for (const std::wstring& each : volume->second->names()) {
            if (!each.empty())
                tracking_[withTrailingBackslash(each)] = 1;
        }
    } catch (const std::exception& error) {
        logging::logError() << "Could not start change tracking: " << error.what();
    }
}

std::unique_lock<std::mutex> ChangeTracker::tryBackupLock() {
    return std::unique_lock<std::mutex>(backupLock_, std::try_to_lock);
}

}  // namespace filter
