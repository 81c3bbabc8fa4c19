// How a store's chunks are named and its chunks and point indexes are kept on disk.
//
// An unencrypted store (made with init --no-encryption, or of the layout before
// encryption) keeps files as they are and names a chunk by the SHA-256 of its shape and
// data. An encrypted store has a 32-byte master key (StoreKeyring.h) from which two keys
// are derived with HKDF-SHA256 (no salt): the sealing key (info "zentrad store seal v1"),
// under which every chunk and index file is sealed (SealedFile.h), and the naming key
// (info "zentrad store name v1"): a chunk's name is HMAC-SHA256 under it of the same
// bytes SHA-256 names, so equal chunks still share one file while the name tells nothing
// about the data to anyone without the key.
//
// Thread safety: a cipher is immutable; its functions may be called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "backup-server/objects/BlobStore.h"
#include "backup-server/store/ChunkFile.h"
#include "backup-server/store/SealedFile.h"

namespace backup_server {

// A stored object's plain bytes, read at any place (a sealed file opens only the
// segments asked for).
class ObjectReader {
  public:
    virtual ~ObjectReader() = default;
    // The plain bytes in all.
    virtual std::uint64_t size() const = 0;
    // False, with problem set, when the bytes cannot be read or fail to open.
    virtual bool read(std::uint64_t offset, void* out, std::size_t length,
                      std::string& problem) = 0;
};

// Where a reader's stored bytes come from (a local file, or an object read by ranges).
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // False when the bytes cannot all be read.
    virtual bool readAt(std::uint64_t offset, void* out, std::size_t length) = 0;
};

// A stored object written front to back.
class ObjectWriter {
  public:
    virtual ~ObjectWriter() = default;
    // Throws StoreError when writing fails.
    virtual void write(const void* data, std::size_t length) = 0;
    // Writes what is left, syncs and closes the file.
    virtual void finish() = 0;
};

class StoreCipher {
  public:
    struct Keys;
    // The cipher of an unencrypted store.
    static std::shared_ptr<const StoreCipher> plain();
    // The cipher of an encrypted store with this master key (32 bytes).
    static std::shared_ptr<const StoreCipher> fromMasterKey(std::string_view master);
    ~StoreCipher();

    bool sealed() const { return keys_ != nullptr; }
    Sha256Digest chunkName(ChunkShape shape, const unsigned char* data) const;
    // The file to store for plain bytes of an object of this kind and name.
    std::string seal(SealedKind kind, std::string_view name, std::string plain) const;
    // The plain bytes of a stored object read whole; false, with problem set, when they do
    // not open. An unencrypted store's objects are plain; an encrypted store's are sealed
    // unless plainAccepted (a kind kept plain before the store sealed it).
    bool open(SealedKind kind, std::string_view name, std::string_view stored, bool plainAccepted,
              std::string& plain, std::string& problem) const;
    // The longest stored file for at most plainBytes of an object.
    std::uint64_t storedLength(std::uint64_t plainBytes) const;
    // The object in file; null, with problem set, when it is missing, unreadable or (for
    // a sealed store) not a sealed file of this kind.
    std::unique_ptr<ObjectReader> openFile(const std::filesystem::path& file, SealedKind kind,
                                           std::string_view name, std::string& problem) const;
    // The same for the object under key (read by ranged gets, a window at a time); a
    // missing object gives the problem "missing".
    // first: the object's first bytes when they were fetched already (up to a window).
    std::unique_ptr<ObjectReader> openObject(objects::BlobStore& blobs, const std::string& key,
                                             SealedKind kind, std::string_view name,
                                             std::string& problem,
                                             std::optional<std::string> first = {}) const;
    // How many bytes openObject fetches first (a whole chunk).
    static std::uint64_t firstWindow();
    // Creates file (replacing one there) for an object of this kind and name. Throws
    // StoreError when it cannot.
    std::unique_ptr<ObjectWriter> createFile(const std::filesystem::path& file, SealedKind kind,
                                             std::string_view name) const;

  private:
    StoreCipher() = default;
    std::unique_ptr<ObjectReader> openSource(std::unique_ptr<ByteSource> source, std::uint64_t size,
                                             std::string_view head, SealedKind kind,
                                             std::string_view name, std::string& problem) const;
    std::unique_ptr<const Keys> keys_;
};

// The name a point index is sealed under: its file name.
std::string indexObjectName(const std::filesystem::path& file);

}  // namespace backup_server
