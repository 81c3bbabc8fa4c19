// Holds a volume locked while a restore writes to it. Windows refuses writes into the
// sectors of a mounted file system unless its volume is locked or dismounted, and a file
// system left mounted across a restore would keep serving its cached view of the old
// contents. The lock is taken on the handle the restore writes through (writes through any
// other handle are refused while it is held); when files on the volume are open the volume
// is dismounted first (their handles become invalid, which is logged as a warning) and then
// locked. Unlocking, or closing the handle, lets Windows mount the restored file system
// afresh.
#pragma once

#include <string>

#include "platform/File.h"

namespace blocks {

class VolumeLock {
  public:
    // Locks the volume open as device (path names it in messages). Throws
    // runtime::DiskException naming the path, with the system's error, when the volume can
    // be neither locked nor dismounted and locked.
    VolumeLock(platform::FileHandle& device, const std::string& path);
    // Unlocks when the handle is still open (closing it has released the lock already);
    // errors are logged, never thrown.
    ~VolumeLock();
    VolumeLock(const VolumeLock&) = delete;
    VolumeLock& operator=(const VolumeLock&) = delete;

    bool dismounted() const { return dismounted_; }

  private:
    [[noreturn]] void fail(const std::string& step) const;

    platform::FileHandle& device_;
    std::string path_;
    bool dismounted_ = false;
};

}  // namespace blocks
