#include "filter/ChangeTracker.h"

#include <algorithm>
#include <iostream>

#include "filter/DriverText.h"
#include "filter/SavedState.h"
#include "logging/Logger.h"
#include "platform/ErrorText.h"
#include "platform/System.h"
#include "util/FileUtil.h"

namespace filter {
namespace {

// A drain whose reads keep failing gives up after this many attempts in a row.
constexpr unsigned kMaxDrainFailures = 3;
constexpr std::chrono::milliseconds kFlushCheckInterval{100};
constexpr char kStateFile[] = "periods";

}  // namespace

ChangeTracker::~ChangeTracker() {
    stopMonitor();
}

bool ChangeTracker::open() {
    if (device_.open())
        return true;
    logging::logError() << "Failed to open control device.  Have you rebooted since the agent was "
                           "installed? Error: "
                        << platform::lastErrorText();
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
    if (!stateFolder_.empty())
        saveState();
}

void ChangeTracker::keepStateIn(const std::filesystem::path& folder) {
    stateFolder_ = folder;
    restoreState();
}

void ChangeTracker::restoreState() {
    std::filesystem::path file = stateFolder_ / kStateFile;
    std::error_code error;
    if (!std::filesystem::exists(file, error))
        return;
    std::string bytes = util::files::readFile(file, kMostSavedStateBytes);
    // Read once: if this run ends without writing it again, the next must not trust it.
    std::filesystem::remove(file, error);
    if (error) {
        logging::logWarn() << "Change tracking: cannot remove " << file.string() << ": "
                           << error.message() << "; starting without the previous run's state";
        return;
    }
    std::optional<std::uint32_t> state = device_.state();
    if (!state || *state == 0) {
        logging::logInfo() << "Change tracking: the driver lost its state since the agent last "
                              "ran; every volume's next backup compares all blocks";
        return;
    }
    std::optional<std::vector<SavedVolume>> saved = decodeSavedVolumes(bytes);
    if (!saved) {
        logging::logWarn() << "Change tracking: " << file.string()
                           << " is damaged; every volume's next backup compares all blocks";
        return;
    }
    std::lock_guard<std::mutex> lock(stateMutex_);
    std::size_t continued = 0;
    for (SavedVolume& each : *saved) {
        std::wstring name = withTrailingBackslash(each.name);
        std::unique_ptr<VolumeChanges> volume;
        if (each.volumeNumber) {
            // The driver keeps its numbers while it keeps its state; a number that now
            // names another volume means it did not.
            std::vector<std::wstring> names =
                splitVolumeNames(device_.volumeNames(*each.volumeNumber).value_or(L""));
            if (names.empty() || withTrailingBackslash(names.front()) != name ||
                volumes_.count(*each.volumeNumber) != 0) {
                continue;
            }
            volume = std::make_unique<VolumeChanges>(*each.volumeNumber, std::move(names),
                                                     each.sectorsPerBlock);
        } else {
            volume = std::make_unique<VolumeChanges>(0, std::vector<std::wstring>{name},
                                                     each.sectorsPerBlock);
        }
        volume->continuePeriod(each.journalKey, each.changes);
        for (const std::wstring& other : volume->names()) {
            if (other.empty())
                continue;
            tracking_[withTrailingBackslash(other)] = 1;
            if (each.volumeNumber)
                volumeNumbers_[withTrailingBackslash(other)] = *each.volumeNumber;
        }
        if (each.volumeNumber)
            volumes_.emplace(*each.volumeNumber, std::move(volume));
        else
            unnumbered_.emplace(name, std::move(volume));
        ++continued;
    }
    logging::logInfo() << "Change tracking: continuing the tracking periods of " << continued
                       << " volume(s) from the previous run";
}

void ChangeTracker::saveState() {
    std::vector<SavedVolume> saved;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        auto tracked = [this](const std::wstring& name) {
            auto flag = tracking_.find(name);
            return flag != tracking_.end() && flag->second == 1;
        };
        for (const auto& [number, volume] : volumes_) {
            if (volume->names().empty() || !tracked(volume->name()))
                continue;
            saved.push_back({volume->name(), number, volume->sectorsPerBlock(),
                             volume->journalKey(), volume->changes()});
        }
        for (const auto& [name, volume] : unnumbered_) {
            if (tracked(name)) {
                saved.push_back({name, std::nullopt, volume->sectorsPerBlock(),
                                 volume->journalKey(), volume->changes()});
            }
        }
    }
    try {
        std::filesystem::create_directories(stateFolder_);
        util::files::writeFileAtomically(stateFolder_ / kStateFile, encodeSavedVolumes(saved));
        logging::logInfo() << "Change tracking: kept the tracking periods of " << saved.size()
                           << " volume(s) for the next run";
    } catch (const std::exception& error) {
        logging::logWarn() << "Change tracking: state not kept (" << error.what()
                           << "); every volume's next backup compares all blocks";
    }
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
    adoptUnnumbered(*volume);
    return *volumes_.emplace(volumeNumber, std::move(volume)).first->second;
}

void ChangeTracker::adoptUnnumbered(VolumeChanges& volume) {
    for (const std::wstring& name : volume.names()) {
        auto waiting = unnumbered_.find(withTrailingBackslash(name));
        if (waiting == unnumbered_.end())
            continue;
        volume.continuePeriod(waiting->second->journalKey(), waiting->second->changes());
        unnumbered_.erase(waiting);
    }
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
    unnumbered_.clear();
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
    if (number == volumeNumbers_.end()) {
        auto waiting = unnumbered_.find(name);
        return waiting == unnumbered_.end() ? nullptr : waiting->second.get();
    }
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
        // Out of memory copying the bitmap: answered as not known, so the backup that
        // asked does not go on as if nothing had changed.
        logging::logWarn() << "Change tracking: changes not copied: " << error.what();
        return nullptr;
    }
}

std::unique_ptr<MapBitmap> ChangeTracker::copyChanges(const std::wstring& volumeName,
                                                      const JournalKey& periodKey) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        VolumeChanges* volume = trackedVolume(volumeName);
        if (volume == nullptr || volume->journalKey() != periodKey)
            return nullptr;
    }
    // Only request threads end periods, and they hold the flush handshake: the period
    // cannot change between the check and the copy.
    return copyChanges(volumeName);
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
            if (unnumbered_.count(name) == 0) {
                std::uint32_t sectorsPerBlock =
                    ntfsSectorsPerCluster(name).value_or(VolumeChanges::kDefaultSectorsPerBlock);
                unnumbered_.emplace(name, std::make_unique<VolumeChanges>(
                                              0, std::vector<std::wstring>{name}, sectorsPerBlock));
            }
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
