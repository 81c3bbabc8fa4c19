// A store folder of restore points:
//
//   catalogue.db (+ -wal, -shm)  the catalogue of points (Catalogue.h)
//   points/NAME.index            one index per point (PointIndex.h)
//   chunks/XX/NAME               the deduplicated, compressed chunks (ChunkFile.h)
//   damaged/NAME                 chunks verify found damaged, moved out of the way
//   tables/NAME.ptable           partition-table generations (PartitionStore.h)
//   write.lock, read.lock        the store's locks (StoreLock.h)
//   keys/ID.key                  an encrypted store's wrapped key (StoreKeyring.h)
//
// The same layout holds for an s3://BUCKET/PREFIX store: an object's key is its file's path
// relative to the store folder. Its catalogue and locks are local files in a cache folder
// (StoreLocation.h), and after every change a copy of the catalogue goes into the bucket
// (catalogue/NNNNNNNNNNNN.db, CatalogueCopies.h) so that the store outlives the machine.
//
// A store is made by createStore (backup-server init) and by nothing else: every access
// refuses a folder without a catalogue, so a mistyped path never becomes a new store. A
// folder of the previous layout (one "volume" file and "image" per volume folder) is
// refused, never read as something else.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "backup-server/objects/BlobStore.h"
#include "backup-server/store/Catalogue.h"
#include "backup-server/store/ChunkStore.h"
#include "backup-server/store/KeySource.h"
#include "backup-server/store/StoreCipher.h"
#include "backup-server/store/StoreKeyring.h"
#include "backup-server/store/StoreLock.h"

namespace backup_server {

class Store {
  public:
    enum class Access {
        look,       // no lock (read views in tests and tools)
        read,       // shared read lock
        write,      // shared write lock: other writers may add to the store meanwhile
        exclusive,  // exclusive write and read locks (garbage collection)
    };

    // Throws StoreError for a folder that is not an initialised store, of the
    // previous layout or with a damaged catalogue, StoreInUse when the lock is held
    // elsewhere. A writer upgrades an older layout in place. Warns on standard error when
    // the folder is open to other users. keys unlock an encrypted store when its cipher is
    // first needed (points and forget never need it).
    Store(const std::filesystem::path& root, Access access, const std::string& command = "",
          KeySource keys = {});
    // An s3:// store whose catalogue changed uploads a copy of it (a failure is a warning
    // on standard error: the points are safe in the bucket, the next change uploads again).
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // The store's name: its folder, or s3://BUCKET/PREFIX.
    const std::filesystem::path& root() const { return root_; }
    // Where catalogue.db and the locks are: the store folder, or an s3:// store's cache.
    const std::filesystem::path& localFolder() const { return local_; }
    // The chunks, point indexes, partition tables and keys, by their paths in the store.
    objects::BlobStore& objects() const { return *objects_; }
    bool remote() const { return remote_; }
    // Uploads a copy of an s3:// store's catalogue now (nothing for a folder store). Throws
    // objects::BlobError when the upload fails.
    void publishCatalogue();
    Catalogue& catalogue() { return *catalogue_; }
    std::filesystem::path chunkFolder() const { return root_ / "chunks"; }
    std::filesystem::path pointFolder() const { return root_ / "points"; }
    // Where verify moves damaged chunks (kept for inspection; gc leaves them alone).
    std::filesystem::path damagedFolder() const { return root_ / "damaged"; }
    std::filesystem::path tableFolder() const { return root_ / "tables"; }
    std::filesystem::path indexPath(const std::string& name) const { return pointFolder() / name; }
    static std::string indexKey(const std::string& name) { return "points/" + name; }
    // Where a point index is written before it is stored (beside the indexes in a folder
    // store, in the cache folder of an s3:// store).
    std::filesystem::path scratchPath(const std::string& name) const;
    // Makes everything written so far durable (before a point enters the catalogue).
    void sync() const;
    // How chunks and indexes are named and sealed: opened on first use with the keys
    // given. Throws StoreError saying how to give the passphrase when it
    // is missing, and when it is wrong.
    std::shared_ptr<const StoreCipher> cipher() const;

  private:
    // True when the write lock was taken exclusively (nobody else held the store).
    bool takeWriteLock(Access access, const std::string& command);

    std::filesystem::path root_;
    std::filesystem::path local_;
    bool remote_ = false;
    std::unique_ptr<objects::BlobStore> objects_;
    std::int64_t publishedChanges_ = 0;
    std::optional<StoreLock> writeLock_;
    std::optional<StoreLock> readLock_;
    std::unique_ptr<Catalogue> catalogue_;
    KeySource keys_;
    mutable std::mutex cipherMutex_;
    mutable std::shared_ptr<const StoreCipher> cipher_;
};

// Makes a new, empty store in root (created when missing, mode 0700), encrypted unless keys
// say otherwise (the default, for tests, is an unencrypted store). Throws
// StoreError when root already holds a store or cannot be made, or when an
// encrypted store is asked for without a secret.
// An s3:// store's bucket must exist and hold no store yet under the prefix; its catalogue
// is made in the cache folder and copied into the bucket at once.
void createStore(const std::filesystem::path& root,
                 const KeyringOptions& keys = KeyringOptions{false, {}, {}});

// Throws StoreError, saying what to do, when root holds volume folders of
// the previous one-image-per-volume layout.
void refusePreviousLayout(const std::filesystem::path& root);

}  // namespace backup_server
