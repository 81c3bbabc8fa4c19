// The process's one connection to the change-tracking driver. The run function opens it
// at start-up (and ends the process with status 1 when that fails), starts the monitor
// and stops it at shutdown; backup requests use the queries inside a flush handshake:
//
//   auto lock = FilterInterface::tryBackupLock();
//   if (!lock.owns_lock()) ... busy ...
//   {
//       auto flush = FilterInterface::flush();
//       FilterInterface::getJournalKey(name, key);
//   }
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "filter/ChangeTracker.h"
#include "filter/JournalKey.h"
#include "filter/MapBitmap.h"

namespace filter {

class FilterInterface {
  public:
    FilterInterface() = delete;

    // Opens the control device "\\.\VardexControlDevice"; logs at ERROR and returns
    // false when it cannot be opened.
    static bool open();
    static void startMonitor();
    // Stops the monitor, waiting at most 100 s for it to notice before joining it.
    static void stopMonitor();

    // A flush handshake for the queries below (see ChangeTracker::Flush).
    static ChangeTracker::Flush flush() { return ChangeTracker::Flush(instance()); }
    static std::unique_lock<std::mutex> tryBackupLock() { return instance().tryBackupLock(); }

    static bool getJournalKey(const std::wstring& volumeName, JournalKey& key);
    static std::unique_ptr<MapBitmap> takeChanges(const std::wstring& volumeName,
                                                  const JournalKey& presentedKey);
    static std::unique_ptr<MapBitmap> copyChanges(const std::wstring& volumeName);
    static void StartChangeTracking(const std::wstring& volumeName);

    static ChangeTracker& instance();
};

}  // namespace filter
