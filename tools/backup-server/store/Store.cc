#include "backup-server/store/Store.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include "backup-server/store/FileModes.h"
#include "backup-server/store/PartitionStore.h"

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

}  // namespace

void createStore(const fs::path& root, const KeyringOptions& keys) {
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
    : root_(root), keys_(std::move(keys)) {
    refusePreviousLayout(root);
    fs::path file = root / "catalogue.db";
    if (!fs::exists(file)) {
        ZENTRAD_THROW(StoreError,
                      (fs::exists(root) ? root.string() + " is not an initialised store"
                                        : "The store folder " + root.string() + " does not exist") +
                          "; make a new store with: backup-server init " + root.string());
    }
    warnIfOpenToOthers(root);
    if (access == Access::write || access == Access::exclusive) {
        // Writers share the store, but the first one upgrades an older store alone.
        bool alone = takeWriteLock(access, command);
        if (access == Access::exclusive)
            readLock_.emplace(root, StoreLock::Kind::readExclusive, command);
        refuseSealedWithoutKeys(root);
        // Folders an older store may lack.
        for (const fs::path& folder : {pointFolder(), chunkFolder(), tableFolder()})
            fs::create_directories(folder);
        catalogue_ = std::make_unique<Catalogue>(file, Catalogue::Mode::write);
        adoptLegacyPartitionTables(*this);
        if (alone && access == Access::write)
            writeLock_->share();
        return;
    }
    if (access == Access::read)
        readLock_.emplace(root, StoreLock::Kind::read, command);
    catalogue_ = std::make_unique<Catalogue>(file, Catalogue::Mode::read);
}

bool Store::takeWriteLock(Access access, const std::string& command) {
    // Whoever finds the store unheld takes it exclusively while it opens, so an older
    // layout is upgraded once; holders arriving later find that done.
    try {
        writeLock_.emplace(root_, StoreLock::Kind::write, command);
        return true;
    } catch (const StoreInUse&) {
        if (access == Access::exclusive)
            throw;
    }
    writeLock_.emplace(root_, StoreLock::Kind::writeShared, command);
    return false;
}

std::shared_ptr<const StoreCipher> Store::cipher() const {
    std::lock_guard<std::mutex> lock(cipherMutex_);
    if (!cipher_)
        cipher_ = openStoreCipher(root_, keys_);
    return cipher_;
}

void Store::sync() const {
    int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = fd >= 0 && ::syncfs(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!synced)
        ZENTRAD_THROW(StoreError, "Cannot sync the store " + root_.string());
}

}  // namespace backup_server
