// A store folder of restore points:
//
//   catalogue.db (+ -wal, -shm)  the catalogue of points (Catalogue.h)
//   points/NAME.index            one index per point (PointIndex.h)
//   chunks/XX/NAME               the deduplicated, compressed chunks (ChunkFile.h)
//   damaged/NAME                 chunks verify found damaged, moved out of the way
//   write.lock, read.lock        the store's locks (StoreLock.h)
//   keys/ID.key                  an encrypted store's wrapped key (StoreKeyring.h)
//
// Partition-table backups share the folder (one sub-folder per disk). A folder of the
// previous layout (one "volume" file and "image" per volume folder) is refused, never
// read as something else.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "backup-server/Catalogue.h"
#include "backup-server/ChunkStore.h"
#include "backup-server/KeySource.h"
#include "backup-server/StoreCipher.h"
#include "backup-server/StoreLock.h"

namespace backup_server {

class Store {
  public:
    enum class Access {
        look,       // no lock; the store need not exist (read views in tests and tools)
        read,       // shared read lock; the store must exist
        write,      // write lock; the store is created when missing
        exclusive,  // write lock and exclusive read lock (garbage collection)
    };

    // Throws runtime::AgentException for a folder of the previous layout or a damaged
    // catalogue, StoreInUse when the lock is held elsewhere. keys unlock an encrypted
    // store when its cipher is first needed (points and forget never need it).
    Store(const std::filesystem::path& root, Access access, const std::string& command = "",
          KeySource keys = {});

    const std::filesystem::path& root() const { return root_; }
    bool exists() const { return catalogue_ != nullptr; }
    // Throws runtime::AgentException when the store holds no catalogue.
    Catalogue& catalogue();
    std::filesystem::path chunkFolder() const { return root_ / "chunks"; }
    std::filesystem::path pointFolder() const { return root_ / "points"; }
    // Where verify moves damaged chunks (kept for inspection; gc leaves them alone).
    std::filesystem::path damagedFolder() const { return root_ / "damaged"; }
    std::filesystem::path indexPath(const std::string& name) const { return pointFolder() / name; }
    // Makes everything written so far durable (before a point enters the catalogue).
    void sync() const;
    // How chunks and indexes are named and sealed: opened on first use with the keys
    // given. Throws runtime::AgentException saying how to give the passphrase when it
    // is missing, and when it is wrong.
    std::shared_ptr<const StoreCipher> cipher() const;

  private:
    std::filesystem::path root_;
    std::optional<StoreLock> writeLock_;
    std::optional<StoreLock> readLock_;
    std::unique_ptr<Catalogue> catalogue_;
    KeySource keys_;
    mutable std::mutex cipherMutex_;
    mutable std::shared_ptr<const StoreCipher> cipher_;
};

// Throws runtime::AgentException, saying what to do, when root holds volume folders of
// the previous one-image-per-volume layout.
void refusePreviousLayout(const std::filesystem::path& root);

}  // namespace backup_server
