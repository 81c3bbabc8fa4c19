// Locks of a store, held with flock(2) on files in the store folder, so the kernel
// releases them when the process ends, however it ends.
//
//   write.lock  exclusive: one command that changes the store at a time (backup, forget,
//               gc); the holder writes its process id and command line into the file so
//               that a refused command can say who holds the store
//   read.lock   shared by commands that read points (restore, verify); gc takes it
//               exclusively, so it never removes chunks under a running restore
//
// Locks are tried, never waited for: a busy store is refused at once with StoreInUse. A
// reader of a store on a read-only file system, where read.lock was never made, holds no
// lock: nothing there can change.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace backup_server {

class StoreInUse : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class StoreLock {
  public:
    enum class Kind { write, read, readExclusive };

    // Throws StoreInUse when another process holds a conflicting lock.
    StoreLock(const std::filesystem::path& folder, Kind kind, const std::string& holder);
    ~StoreLock();
    StoreLock(StoreLock&& other) noexcept;
    StoreLock& operator=(StoreLock&&) = delete;
    StoreLock(const StoreLock&) = delete;

  private:
    int fd_ = -1;
};

}  // namespace backup_server
