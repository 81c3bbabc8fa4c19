#include "backup-server/Store.h"

#include <fcntl.h>
#include <unistd.h>

#include "backup-server/FileModes.h"
#include "backup-server/PartitionStore.h"
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

void createStore(const fs::path& root) {
    refusePreviousLayout(root);
    fs::path file = root / "catalogue.db";
    if (fs::exists(file))
        ZENTRAD_THROW(runtime::AgentException, root.string() + " is already a store");
    createPrivateFolder(root);
    for (const char* folder : {"points", "chunks", "tables"})
        fs::create_directories(root / folder);
    Catalogue(file, Catalogue::Mode::create);
}

Store::Store(const fs::path& root, Access access, const std::string& command) : root_(root) {
    refusePreviousLayout(root);
    fs::path file = root / "catalogue.db";
    if (!fs::exists(file)) {
        ZENTRAD_THROW(runtime::AgentException,
                      (fs::exists(root) ? root.string() + " is not an initialised store"
                                        : "The store folder " + root.string() + " does not exist") +
                          "; make a new store with: backup-server init " + root.string());
    }
    warnIfOpenToOthers(root);
    if (access == Access::write || access == Access::exclusive) {
        writeLock_.emplace(root, StoreLock::Kind::write, command);
        if (access == Access::exclusive)
            readLock_.emplace(root, StoreLock::Kind::readExclusive, command);
        // Folders an older store may lack.
        for (const fs::path& folder : {pointFolder(), chunkFolder(), tableFolder()})
            fs::create_directories(folder);
        catalogue_ = std::make_unique<Catalogue>(file, Catalogue::Mode::write);
        adoptLegacyPartitionTables(*this);
        return;
    }
    if (access == Access::read)
        readLock_.emplace(root, StoreLock::Kind::read, command);
    catalogue_ = std::make_unique<Catalogue>(file, Catalogue::Mode::read);
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
