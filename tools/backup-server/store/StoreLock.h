// Locks of a store, held with flock(2) on files in the store folder, so the kernel
// releases them when the process ends, however it ends.
//
//   write.lock  shared by the commands that add to the store or change its catalogue
//               (backup, forget, partition-backup, trust), so backups of different agents
//               and volumes run side by side; exclusive for whatever removes or moves
//               files (gc, verify setting damaged chunks aside, key add and remove). An
//               exclusive holder writes its process id and command line into the file so
//               that a refused command can say who holds the store.
//   read.lock   shared by commands that read points (restore, verify); gc takes it
//               exclusively, so it never removes chunks under a running restore
//   locks/NAME.lock
//               exclusive, one per agent and volume: one backup of a volume at a time (two
//               would build on the same point and race for its journal key), and none
//               while a restore overwrites the volume. The holder writes its description
//               there too.
//
// Locks are tried, not waited for: a busy store is refused with StoreInUse (a shared writer
// first gives a writer that is opening the store, and so holds it alone, 5 s). A
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
    enum class Kind { write, writeShared, read, readExclusive };

    // Throws StoreInUse when another process holds a conflicting lock.
    StoreLock(const std::filesystem::path& folder, Kind kind, const std::string& holder);
    // The lock of one agent's volume (any text is fine: the file is named by a digest).
    // Throws StoreInUse while another command holds it.
    static StoreLock volume(const std::filesystem::path& folder, const std::string& agent,
                            const std::string& deviceID, const std::string& holder);
    ~StoreLock();
    StoreLock(StoreLock&& other) noexcept;
    StoreLock& operator=(StoreLock&&) = delete;
    StoreLock(const StoreLock&) = delete;

    // An exclusive write lock becomes a shared one (once the holder's upgrade of the store
    // is done). Not atomic: a command that took the store exclusively in between makes
    // this throw StoreInUse.
    void share();

  private:
    StoreLock() = default;
    int fd_ = -1;
    std::filesystem::path file_;
};

}  // namespace backup_server
