#include "backup-server/store/StoreLocation.h"

#include <cstdlib>

#include "backup-server/objects/FolderBlobStore.h"
#include "backup-server/objects/S3BlobStore.h"
#include "backup-server/store/Sha256.h"

namespace backup_server {
namespace {

ObjectStoreOptions& options() {
    static ObjectStoreOptions value;
    return value;
}

std::filesystem::path cacheRoot() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && *xdg == '/')
        return std::filesystem::path(xdg) / "zentrad";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr && *home != '\0' ? home : "/tmp") / ".cache" /
           "zentrad";
}

}  // namespace

void setObjectStoreOptions(ObjectStoreOptions value) {
    options() = std::move(value);
}

const ObjectStoreOptions& objectStoreOptions() {
    return options();
}

bool isObjectStoreName(const std::string& name) {
    return name.starts_with("s3://");
}

objects::S3Settings objectStoreSettings(const std::string& name) {
    objects::S3Profile profile;
    if (const char* file = std::getenv(kCredentialsFileVariable))
        profile.credentialsFile = file;
    return objects::S3Settings::fromEnvironment(name, profile);
}

std::filesystem::path localFolderOf(const std::string& name) {
    if (!isObjectStoreName(name))
        return name;
    if (options().cacheDir)
        return *options().cacheDir;
    // One folder per endpoint, bucket and prefix: the bucket's name for people, a digest of
    // all three so that two stores never share a catalogue.
    objects::S3Settings settings = objectStoreSettings(name);
    std::string where = settings.endpoint + "\n" + settings.bucket + "\n" + settings.prefix;
    Sha256 digest;
    digest.update(where.data(), where.size());
    return cacheRoot() / (settings.bucket + "-" + toHex(digest.finish()).substr(0, 16));
}

std::unique_ptr<objects::BlobStore> openStoreObjects(const std::string& name) {
    if (isObjectStoreName(name))
        return std::make_unique<objects::S3BlobStore>(objectStoreSettings(name));
    return std::make_unique<objects::FolderBlobStore>(
        name, objects::FolderBlobStore::SyncPolicy::onSync,
        objects::FolderBlobStore::Creation::existingFolder);
}

}  // namespace backup_server
