// Objects as files in a local folder: KEY is the file FOLDER/KEY.
//
// A put writes a temporary file beside the final one (".NAME.tmp-XXXXXX", never a key) and
// renames it, so a file under a key's name is always whole; a key already present is left as
// it is (an object found damaged is removed before it is put again).
//
// Durability: by default nothing is synced per put, and sync() syncs the folder's file system
// once (syncfs), which is what a store does before it commits a point: a crash before that
// may leave a renamed file short, and the store's own digests find it. With
// SyncPolicy::eachPut every put syncs its file and its folder before it returns (slower; for
// callers that commit nothing afterwards).
#pragma once

#include <filesystem>

#include "backup-server/objects/BlobStore.h"

namespace backup_server::objects {

class FolderBlobStore : public BlobStore {
  public:
    enum class SyncPolicy { onSync, eachPut };

    enum class Creation { createFolder, existingFolder };

    // Creates the folder when missing (unless told it exists: a store that is only read,
    // perhaps from read-only media, creates nothing; folders under it are made by puts).
    // Throws BlobError failed when it cannot.
    explicit FolderBlobStore(std::filesystem::path folder, SyncPolicy policy = SyncPolicy::onSync,
                             Creation creation = Creation::createFolder);
    const std::filesystem::path& folder() const { return folder_; }

    std::string name() const override { return folder_.string(); }
    void put(const std::string& key, std::string_view bytes) override;
    // Moves the file into place when it is on the folder's file system, else copies it as a
    // put writes; with SyncPolicy::eachPut the file is synced before it gets its name.
    void putFile(const std::string& key, const std::filesystem::path& file) override;
    std::string get(const std::string& key, std::optional<BlobRange> range = {}) override;
    std::optional<std::uint64_t> head(const std::string& key) override;
    void remove(const std::string& key) override;
    void list(const std::string& prefix,
              const std::function<void(const BlobInfo&)>& visit) override;
    void sync() override;
    std::uint64_t removeLeftovers(const std::string& prefix, std::uint64_t& bytes) override;

  private:
    std::filesystem::path pathOf(const std::string& key) const;
    bool present(const std::filesystem::path& path) const;
    void makeParent(const std::filesystem::path& path) const;
    // Writes an object through a temporary file beside path, renamed when whole.
    void writeWhole(const std::filesystem::path& path,
                    const std::function<bool(int fd)>& write) const;

    std::filesystem::path folder_;
    SyncPolicy policy_;
};

}  // namespace backup_server::objects
