#include "backup-server/objects/BlobStore.h"

#include "backup-server/objects/FolderBlobStore.h"
#include "backup-server/objects/S3BlobStore.h"

namespace backup_server::objects {
namespace {

bool keyCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

// Key characters in '/'-separated parts, none empty and none starting with '.'; a prefix
// may end with '/' (an empty last part).
bool validParts(std::string_view text, bool prefix) {
    if (text.size() > kMaxKeyLength)
        return false;
    std::size_t partStart = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '/') {
            bool last = i == text.size();
            if (i == partStart && !(prefix && last))
                return false;
            partStart = i + 1;
            continue;
        }
        if (!keyCharacter(text[i]) || (i == partStart && text[i] == '.'))
            return false;
    }
    return true;
}

}  // namespace

bool validKey(std::string_view key) {
    return !key.empty() && validParts(key, false);
}

bool validPrefix(std::string_view prefix) {
    return prefix.empty() || validParts(prefix, true);
}

void requireValidKey(std::string_view key, const std::string& store) {
    if (!validKey(key)) {
        // The key may be anything; only its length is repeated, never its bytes.
        ZENTRAD_THROW(
            BlobError, BlobError::Kind::invalid,
            "Not a valid object key (" + std::to_string(key.size()) + " characters) for " + store);
    }
}

std::unique_ptr<BlobStore> openBlobStore(const std::string& name) {
    if (name.starts_with("s3://"))
        return std::make_unique<S3BlobStore>(S3Settings::fromEnvironment(name));
    return std::make_unique<FolderBlobStore>(name);
}

}  // namespace backup_server::objects
