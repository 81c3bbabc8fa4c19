#include "backup-server/store/Store.h"

#include <cstdio>
#include <fstream>

#include "backup-server/store/CatalogueCopies.h"
#include "backup-server/store/FileModes.h"
#include "backup-server/store/PartitionStore.h"
#include "backup-server/store/StoreLocation.h"

#include "backup-server/store/StoreError.h"
#include "backup-server/store/StoreKeyring.h"

namespace backup_server {

namespace fs = std::filesystem;

void refusePreviousLayout(const fs::path& root) {
    std::error_code error;
    if (!fs::is_directory(root, error))
        return;
    for (const auto& entry : fs::directory_iterator(root, error)) {
        if (entry.is_directory() && fs::exists(entry.path() / "volume") &&
            fs::exists(entry.path() / "image")) {
            ZENTRAD_THROW(StoreError,
                          "The store " + root.string() +
                              " holds volume images of an earlier backup-server (one image per "
                              "volume, e.g. " +
                              entry.path().string() +
                              "/image), which this version does not read. Back up into a new "
                              "store folder; an old image can still be restored with: restore "
                              "DEVICE-ID image=FOLDER/image block-size=N (N from FOLDER/volume)");
        }
    }
}

namespace {

// A store whose keys folder went missing must not take new points in the clear beside
// its sealed ones: one sealed index is enough to tell.
void refuseSealedWithoutKeys(const fs::path& root) {
    std::error_code error;
    if (StoreKeyring::exists(root))
        return;
    for (const auto& entry : fs::directory_iterator(root / "points", error)) {
        if (entry.path().extension() != ".index")
            continue;
        char head[4] = {};
        std::ifstream(entry.path(), std::ios::binary).read(head, sizeof head);
        if (looksSealed(std::string_view(head, sizeof head))) {
            ZENTRAD_THROW(StoreError, "The store " + root.string() +
                                          " holds sealed files but no keys folder (" +
                                          StoreKeyring::folderOf(root).string() +
                                          "); restore that folder from where its keys were kept");
        }
        return;
    }
}

// The same for an s3:// store whose keys/ objects are gone.
void refuseSealedWithoutKeys(const std::string& name, objects::BlobStore& objects) {
    if (StoreKeyring::exists(name, &objects))
        return;
    std::optional<std::string> index;
    objects.list("points/", [&](const objects::BlobInfo& info) {
        if (!index && info.key.ends_with(".index"))
            index = info.key;
    });
    if (index && looksSealed(objects.get(*index, objects::BlobRange{0, 4}))) {
        ZENTRAD_THROW(StoreError,
                      "The store " + name +
                          " holds sealed files but no keys (keys/ in the bucket); restore them "
                          "from where its keys were kept");
    }
}

// An s3:// store: the bucket must be there and hold no store under the prefix yet.
void createObjectStore(const std::string& name, const KeyringOptions& keys) {
    std::unique_ptr<objects::BlobStore> objects = openStoreObjects(name);
    bool holdsStore = false;
    try {
        objects->list(kCatalogueCopies, [&](const objects::BlobInfo&) { holdsStore = true; });
    } catch (const objects::BlobError& error) {
        ZENTRAD_THROW(StoreError,
                      "Cannot make the store " + name + ": " + error.message() +
                          " (the bucket must exist: create it with the storage's own tools)");
    }
    if (holdsStore)
        ZENTRAD_THROW(StoreError, name + " is already a store");
    fs::path local = localFolderOf(name);
    if (fs::exists(local / "catalogue.db")) {
        ZENTRAD_THROW(StoreError, "The cache folder " + local.string() +
                                      " holds a catalogue already; give " +
                                      "another with --cache-dir or remove it");
    }
    createPrivateFolder(local);
    std::shared_ptr<const StoreCipher> cipher = createStoreKeyring(name, keys, objects.get());
    fs::path file = local / "catalogue.db";
    { Catalogue catalogue(file, Catalogue::Mode::create); }
    // The copy in the bucket is what makes it a store there; without it the local
    // catalogue goes too, so that init can simply be run again.
    try {
        Catalogue catalogue(file, Catalogue::Mode::read);
        uploadCatalogueCopy(catalogue, *objects, *cipher, local);
    } catch (...) {
        std::error_code ignored;
        for (const char* suffix : {"", "-wal", "-shm"})
            fs::remove(local / (std::string("catalogue.db") + suffix), ignored);
        throw;
    }
}

}  // namespace

void createStore(const fs::path& root, const KeyringOptions& keys) {
    if (isObjectStoreName(root.string())) {
        createObjectStore(root.string(), keys);
        return;
    }
    refusePreviousLayout(root);
    fs::path file = root / "catalogue.db";
    if (fs::exists(file))
        ZENTRAD_THROW(StoreError, root.string() + " is already a store");
    createPrivateFolder(root);
    for (const char* folder : {"points", "chunks", "tables"})
        fs::create_directories(root / folder);
    // The catalogue last: a folder is a store once it has one, and not before its keys.
    createStoreKeyring(root, keys);
    Catalogue(file, Catalogue::Mode::create);
}

Store::Store(const fs::path& root, Access access, const std::string& command, KeySource keys)
    : root_(root),
      local_(localFolderOf(root.string())),
      remote_(isObjectStoreName(root.string())),
      keys_(std::move(keys)) {
    fs::path file = local_ / "catalogue.db";
    if (remote_) {
        if (!fs::exists(file)) {
            ZENTRAD_THROW(StoreError,
                          "No catalogue of " + root.string() + " in the cache folder " +
                              local_.string() + "; make a new store with: backup-server init " +
                              root.string() +
                              ", or fetch the catalogue from the bucket with: backup-server "
                              "rebuild-catalogue " +
                              root.string());
        }
    } else {
        refusePreviousLayout(root);
        if (!fs::exists(file)) {
            ZENTRAD_THROW(
                StoreError,
                (fs::exists(root) ? root.string() + " is not an initialised store"
                                  : "The store folder " + root.string() + " does not exist") +
                    "; make a new store with: backup-server init " + root.string());
        }
    }
    objects_ = openStoreObjects(root.string());
    warnIfOpenToOthers(local_);
    if (access == Access::write || access == Access::exclusive) {
        // Writers share the store, but the first one upgrades an older store alone.
        bool alone = takeWriteLock(access, command);
        if (access == Access::exclusive)
            readLock_.emplace(local_, StoreLock::Kind::readExclusive, command);
        if (remote_) {
            refuseSealedWithoutKeys(root.string(), *objects_);
        } else {
            refuseSealedWithoutKeys(root);
            // Folders an older store may lack.
            for (const fs::path& folder : {pointFolder(), chunkFolder(), tableFolder()})
                fs::create_directories(folder);
        }
        catalogue_ = std::make_unique<Catalogue>(file, Catalogue::Mode::write);
        if (!remote_)
            adoptLegacyPartitionTables(*this);
        publishedChanges_ = catalogue_->changes();
        if (alone && access == Access::write)
            writeLock_->share();
        return;
    }
    if (access == Access::read)
        readLock_.emplace(local_, StoreLock::Kind::read, command);
    catalogue_ = std::make_unique<Catalogue>(file, Catalogue::Mode::read);
}

bool Store::takeWriteLock(Access access, const std::string& command) {
    // Whoever finds the store unheld takes it exclusively while it opens, so an older
    // layout is upgraded once; holders arriving later find that done.
    try {
        writeLock_.emplace(local_, StoreLock::Kind::write, command);
        return true;
    } catch (const StoreInUse&) {
        if (access == Access::exclusive)
            throw;
    }
    writeLock_.emplace(local_, StoreLock::Kind::writeShared, command);
    return false;
}

Store::~Store() {
    if (!remote_ || !catalogue_ || catalogue_->changes() == publishedChanges_)
        return;
    try {
        publishCatalogue();
    } catch (const std::exception& error) {
        std::fprintf(stderr,
                     "backup-server: warning: the copy of the catalogue in %s was not updated "
                     "(%s); the next change of the store tries again\n",
                     root_.c_str(), operatorMessage(error).c_str());
    }
}

void Store::publishCatalogue() {
    if (!remote_)
        return;
    uploadCatalogueCopy(*catalogue_, *objects_, *cipher(), local_);
    publishedChanges_ = catalogue_->changes();
}

fs::path Store::scratchPath(const std::string& name) const {
    if (!remote_)
        return indexPath(name);
    fs::path folder = local_ / "scratch";
    fs::create_directories(folder);
    return folder / name;
}

std::shared_ptr<const StoreCipher> Store::cipher() const {
    std::lock_guard<std::mutex> lock(cipherMutex_);
    if (!cipher_)
        cipher_ = openStoreCipher(root_, keys_, remote_ ? objects_.get() : nullptr);
    return cipher_;
}

void Store::sync() const {
    try {
        objects_->sync();
    } catch (const objects::BlobError&) {
        ZENTRAD_THROW(StoreError, "Cannot sync the store " + root_.string());
    }
}

}  // namespace backup_server
