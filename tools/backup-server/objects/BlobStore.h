// Objects named by keys, kept in a local folder or an S3-compatible bucket: the layer the
// store of restore points puts its chunks and indexes on.
//
// Keys are names the store chooses from the content (e.g. "chunks/ab/ab12..."): 1 to 1024
// characters of [A-Za-z0-9._-] in '/'-separated parts, none empty and none starting with '.',
// so a key is the same file name and object name everywhere and can never leave its store.
// An object is written once under its name and never changed: putting a key again (with the
// same bytes, as content naming implies) is harmless, so a retried put is always safe.
//
// Every implementation may be called from several threads at once. Failures are BlobError;
// their texts name the object but never a credential.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/Exceptions.h"

namespace backup_server::objects {

inline constexpr std::size_t kMaxKeyLength = 1024;
// The most one get returns (whole object or range): far above a chunk or a point index, and
// what keeps a damaged or hostile object from taking all memory.
inline constexpr std::uint64_t kMaxGetBytes = std::uint64_t{256} << 20;

class BlobError : public runtime::AgentException {
  public:
    enum class Kind {
        missing,  // no object of that key
        invalid,  // a bad key or name, or a reply that breaks the protocol's rules
        failed,   // the storage failed (after its retries, where it retries)
    };
    BlobError(Kind kind, std::string message, std::string function, int line)
        : AgentException(std::move(message), std::move(function), line), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

  private:
    Kind kind_;
};

struct BlobRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct BlobInfo {
    std::string key;
    std::uint64_t size = 0;
};

class BlobStore {
  public:
    virtual ~BlobStore() = default;

    // The store's name for messages: its folder, or s3://BUCKET/PREFIX.
    virtual std::string name() const = 0;
    // Stores bytes under key; when it returns the object is whole under that name (and
    // durable once sync returns).
    virtual void put(const std::string& key, std::string_view bytes) = 0;
    // Stores the bytes of a local file under key, as put does, whatever the file's size:
    // the file is read as it goes, never held in memory whole. The store may move the file
    // into place (it is then gone from its old name); otherwise it is left as it was, so a
    // caller that wants it gone removes whatever is still there.
    virtual void putFile(const std::string& key, const std::filesystem::path& file) = 0;
    // The object's bytes, or those of range: clipped at the object's end, empty when the
    // range starts at or past it. BlobError missing when there is no such object; invalid
    // when more than kMaxGetBytes would be returned.
    virtual std::string get(const std::string& key, std::optional<BlobRange> range = {}) = 0;
    // The object's size, or nothing when there is no such object.
    virtual std::optional<std::uint64_t> head(const std::string& key) = 0;
    // Removes the object; removing one that is not there is not an error (object storage
    // does not tell the two apart).
    virtual void remove(const std::string& key) = 0;
    // Calls visit for every object whose key starts with prefix (any string of key
    // characters), in no particular order; memory is bounded by one page of the listing.
    virtual void list(const std::string& prefix,
                      const std::function<void(const BlobInfo&)>& visit) = 0;
    // Makes every put that has returned durable.
    virtual void sync() = 0;
    // Removes what puts cut short by a crash left under prefix (a folder's temporary files,
    // a bucket's unfinished multipart uploads); returns their count and adds the bytes it
    // knows of to bytes. Only for a caller that knows no put is running (the store's
    // exclusive lock): a running put's leftovers look the same.
    virtual std::uint64_t removeLeftovers(const std::string& prefix, std::uint64_t& bytes) = 0;
};

bool validKey(std::string_view key);
// Throws BlobError invalid, naming the store, when key is not a valid key.
void requireValidKey(std::string_view key, const std::string& store);
// A listing prefix: empty, or key characters with no part starting with '.' (it may end
// with '/' or inside a part).
bool validPrefix(std::string_view prefix);

// "s3://BUCKET[/PREFIX]" opens the bucket with the endpoint and credentials of the AWS
// tools' environment variables (S3Settings.h); any other name is a local folder, created
// when missing.
std::unique_ptr<BlobStore> openBlobStore(const std::string& name);

}  // namespace backup_server::objects
