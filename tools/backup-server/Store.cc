#include "backup-server/Store.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "backup-server/StoreKeyring.h"
#include "runtime/Exceptions.h"

namespace backup_server {

namespace fs = std::filesystem;

void refusePreviousLayout(const fs::path& root) {
    std::error_code error;
    if (!fs::is_directory(root, error))
        return;
    for (const auto& entry : fs::directory_iterator(root, error)) {
        if (entry.is_directory() && fs::exists(entry.path() / "volume") &&
            fs::exists(entry.path() / "image")) {
            ZENTRAD_THROW(runtime::AgentException,
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
            ZENTRAD_THROW(runtime::AgentException,
                          "The store " + root.string() +
                              " holds sealed files but no keys folder (" +
                              StoreKeyring::folderOf(root).string() +
                              "); restore that folder from where its keys were kept");
        }
        return;
    }
}

}  // namespace

Store::Store(const fs::path& root, Access access, const std::string& command, KeySource keys)
    : root_(root), keys_(std::move(keys)) {
    refusePreviousLayout(root);
    fs::path file = root / "catalogue.db";
    bool present = fs::exists(file);
    if (access == Access::write || access == Access::exclusive) {
        fs::create_directories(root);
        writeLock_.emplace(root, StoreLock::Kind::write, command);
        if (access == Access::exclusive)
            readLock_.emplace(root, StoreLock::Kind::readExclusive, command);
        // Until stores are made only by init: a new store is encrypted when a passphrase
        // or key file is given for it.
        if (!present && keys_.given() && !StoreKeyring::exists(root))
            createStoreKeyring(root, KeyringOptions{true, keys_, {}});
        refuseSealedWithoutKeys(root);
        fs::create_directories(pointFolder());
        fs::create_directories(chunkFolder());
        catalogue_ = std::make_unique<Catalogue>(file, Catalogue::Mode::create);
        return;
    }
    if (!present) {
        if (access == Access::read)
            ZENTRAD_THROW(runtime::AgentException,
                          "No store of restore points in " + root.string());
        return;
    }
    if (access == Access::read)
        readLock_.emplace(root, StoreLock::Kind::read, command);
    catalogue_ = std::make_unique<Catalogue>(file, Catalogue::Mode::read);
}

Catalogue& Store::catalogue() {
    if (!catalogue_)
        ZENTRAD_THROW(runtime::AgentException, "No store of restore points in " + root_.string());
    return *catalogue_;
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
        ZENTRAD_THROW(runtime::AgentException, "Cannot sync the store " + root_.string());
}

}  // namespace backup_server
