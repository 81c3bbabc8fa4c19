// Where a store's objects and local files are. A store named s3://BUCKET[/PREFIX] keeps its
// objects in the bucket and its local files (catalogue.db, locks) in a cache folder of this
// machine; any other name is a store folder holding both.
//
// How s3:// stores are reached comes from the AWS tools' environment variables
// (S3Settings.h), and the credentials from the file ZENTRAD_S3_CREDENTIALS_FILE names when
// it is set (the jobs file's [s3] table sets these). The cache folder is set once for the
// process by the global --cache-dir option.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "backup-server/objects/BlobStore.h"
#include "backup-server/objects/S3Settings.h"

namespace backup_server {

inline constexpr const char* kCredentialsFileVariable = "ZENTRAD_S3_CREDENTIALS_FILE";

struct ObjectStoreOptions {
    // The cache folder of the s3:// store a command names (the default is derived from the
    // endpoint, bucket and prefix under $XDG_CACHE_HOME/zentrad, or ~/.cache/zentrad).
    std::optional<std::filesystem::path> cacheDir;
};

void setObjectStoreOptions(ObjectStoreOptions options);
const ObjectStoreOptions& objectStoreOptions();

bool isObjectStoreName(const std::string& name);
// The settings of an s3:// store from the environment. Throws
// objects::BlobError invalid when they are incomplete or malformed.
objects::S3Settings objectStoreSettings(const std::string& name);
// The folder of the store's local files: the store folder itself, or the s3:// store's
// cache folder.
std::filesystem::path localFolderOf(const std::string& name);
// The store's objects: the folder (nothing is created by opening it), or the bucket.
std::unique_ptr<objects::BlobStore> openStoreObjects(const std::string& name);

}  // namespace backup_server
