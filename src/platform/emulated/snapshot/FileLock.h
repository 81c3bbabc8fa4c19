// An advisory lock on a file of the host root (flock), shared between processes and,
// since every lock opens the file anew, between threads of one process too.
#pragma once

#include <filesystem>

#include "platform/emulated/storage/DiskImage.h"

namespace platform::emulated {

class FileLock {
  public:
    enum class Mode { shared, exclusive };
    // Creates the file when missing and blocks until the lock is granted. Throws
    // std::system_error when the file cannot be opened or locked.
    FileLock(const std::filesystem::path& file, Mode mode);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    FileDescriptor fd_;
};

}  // namespace platform::emulated
