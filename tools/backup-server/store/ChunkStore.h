// The chunk folder of a store: chunks/<first two hex digits>/<64 hex digits of the name>.
// A chunk is written once, to a temporary name first and then renamed, so a file under a
// chunk's name is always whole (durability comes from the store's sync before a point is
// committed). Chunks are removed only by garbage collection, and moved aside only by verify
// when damaged. In an encrypted store every chunk file is sealed under the chunk's name
// (StoreCipher.h) and opened before anything in it is used.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backup-server/store/ChunkFile.h"
#include "backup-server/store/StoreCipher.h"

namespace backup_server {

class ChunkStore {
  public:
    // The chunks of an unencrypted store.
    explicit ChunkStore(std::filesystem::path folder);
    ChunkStore(std::filesystem::path folder, std::shared_ptr<const StoreCipher> cipher);

    // The name of a chunk of this store holding data.
    Sha256Digest nameOf(ChunkShape shape, const unsigned char* data) const {
        return cipher_->chunkName(shape, data);
    }

    std::filesystem::path pathOf(const Sha256Digest& name) const;
    // Stores a chunk unless one of that name exists. Returns the bytes written (0 when
    // the chunk was there already). Throws StoreError when writing fails.
    std::uint64_t put(const Sha256Digest& name, ChunkShape shape, const unsigned char* data,
                      const blocks::BlockDigest* digests);
    // Reads a chunk whole and checks it; data receives shape.dataBytes() bytes. Throws
    // StoreError naming the chunk when it is missing or damaged.
    void read(const Sha256Digest& name, ChunkShape shape, unsigned char* data,
              std::vector<blocks::BlockDigest>& digests);
    // The blocks' digests without reading the data; false (problem set) when the chunk
    // is missing or its header is damaged.
    bool readDigests(const Sha256Digest& name, ChunkShape shape,
                     std::vector<blocks::BlockDigest>& digests, std::string& problem);
    // Reads and checks a chunk; the damage found, if any (a missing chunk is damaged whole).
    std::optional<ChunkDamage> check(const Sha256Digest& name, ChunkShape shape);
    // Whether a file of the chunk's name is there, of a length a chunk can have (a look at
    // its size only; the contents are checked when the chunk is read).
    bool present(const Sha256Digest& name) const;
    // Moves a damaged chunk into folder (kept for inspection, never read again as the
    // chunk); false when it was not there. Throws StoreError when it cannot.
    bool setAside(const Sha256Digest& name, const std::filesystem::path& folder) const;
    // Every file under the folder, with the chunk name it carries (none for temporary and
    // stray files); the callback may remove the file.
    void forEachFile(const std::function<void(const std::filesystem::path&,
                                              std::optional<Sha256Digest>)>& visit) const;

  private:
    // The chunk file, or its first `most` bytes; fileBytes is the whole file's length.
    std::optional<std::string> load(const Sha256Digest& name, std::string& problem,
                                    std::uint64_t& fileBytes,
                                    std::size_t most = ~std::size_t{0}) const;
    std::optional<std::string> load(const Sha256Digest& name, std::string& problem) const {
        std::uint64_t fileBytes = 0;
        return load(name, problem, fileBytes);
    }

    std::filesystem::path folder_;
    std::shared_ptr<const StoreCipher> cipher_;
    ChunkCodec codec_;
    std::vector<unsigned char> scratch_;
};

}  // namespace backup_server
