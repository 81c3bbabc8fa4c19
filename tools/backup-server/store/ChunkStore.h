// The chunks of a store: objects chunks/<first two hex digits>/<64 hex digits of the name>
// (files of that path in a store folder). A chunk is written once and whole (blob-store
// puts are atomic; durability comes from the store's sync before a point is committed).
// Chunks are removed only by garbage collection, and set aside only by verify when
// damaged. In an encrypted store every chunk is sealed under the chunk's name
// (StoreCipher.h) and opened before anything in it is used.
//
// A backup's chunks may be stored by a few threads at once (startParallelPuts): put then
// returns while the chunk is on its way, and finishPuts waits for all of them and reports
// the first failure.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "backup-server/objects/BlobStore.h"
#include "backup-server/objects/ParallelPuts.h"
#include "backup-server/store/ChunkFile.h"
#include "backup-server/store/StoreCipher.h"

namespace backup_server {

class ChunkStore {
  public:
    // The chunks of a store (the objects under "chunks/").
    ChunkStore(objects::BlobStore& objects, std::shared_ptr<const StoreCipher> cipher);
    // The chunks in a chunk folder of an unencrypted store, or of one with this cipher.
    explicit ChunkStore(std::filesystem::path folder,
                        std::shared_ptr<const StoreCipher> cipher = StoreCipher::plain());
    ~ChunkStore();
    ChunkStore(const ChunkStore&) = delete;
    ChunkStore& operator=(const ChunkStore&) = delete;

    // The name of a chunk of this store holding data.
    Sha256Digest nameOf(ChunkShape shape, const unsigned char* data) const {
        return cipher_->chunkName(shape, data);
    }

    std::string keyOf(const Sha256Digest& name) const;
    // The chunk's file (for a ChunkStore made on a folder).
    std::filesystem::path pathOf(const Sha256Digest& name) const;
    // From now on puts go through `parallel` threads.
    void startParallelPuts(unsigned parallel);
    // Stores a chunk unless one of that name exists. Returns the bytes written (0 when the
    // chunk was there already, or when it is on its way: finishPuts counts those). Throws
    // StoreError when writing fails.
    std::uint64_t put(const Sha256Digest& name, ChunkShape shape, const unsigned char* data,
                      const blocks::BlockDigest* digests);
    // Waits for the parallel puts; returns the bytes they wrote. Throws the first failure.
    std::uint64_t finishPuts();
    // Reads a chunk whole and checks it; data receives shape.dataBytes() bytes. Throws
    // StoreError naming the chunk when it is missing or damaged.
    void read(const Sha256Digest& name, ChunkShape shape, unsigned char* data,
              std::vector<blocks::BlockDigest>& digests);
    // Starts fetching chunks a reader going forward reads next (an object store only: a
    // folder is read from the page cache); read() takes them from there. At most
    // kReadAhead are held.
    static constexpr std::size_t kReadAhead = 4;
    void readAhead(const std::vector<Sha256Digest>& names);
    bool local() const { return local_; }
    // The stored bytes of the chunk read last.
    std::uint64_t lastReadBytes() const { return lastReadBytes_; }
    // The blocks' digests without reading the data; false (problem set) when the chunk
    // is missing or its header is damaged.
    bool readDigests(const Sha256Digest& name, ChunkShape shape,
                     std::vector<blocks::BlockDigest>& digests, std::string& problem);
    // Reads and checks a chunk; the damage found, if any (a missing chunk is damaged whole).
    std::optional<ChunkDamage> check(const Sha256Digest& name, ChunkShape shape);
    // Whether an object of the chunk's name is there, of a length a chunk can have (a look
    // at its size only; the contents are checked when the chunk is read).
    bool present(const Sha256Digest& name) const;
    // The places in names of the chunks that are not present (as present() decides). An
    // object store is asked about several at once: a round trip each, but not one after
    // the other.
    std::vector<std::size_t> absentOf(const std::vector<Sha256Digest>& names) const;
    // Moves a damaged chunk to damaged/NAME (kept for inspection, never read again as the
    // chunk; a copy then a remove); false when it was not there. Throws
    // StoreError when it cannot.
    bool setAside(const Sha256Digest& name) const;
    // Every object under chunks/ with its size and the chunk name it carries (none for
    // stray objects), during the listing: the callback must not remove objects (note them
    // and remove them after).
    void forEachObject(const std::function<void(const objects::BlobInfo&,
                                                std::optional<Sha256Digest>)>& visit) const;

  private:
    // The chunk's stored bytes, or their first `most`; fileBytes is the whole length.
    std::optional<std::string> load(const Sha256Digest& name, std::string& problem,
                                    std::uint64_t& fileBytes, std::size_t most = ~std::size_t{0});
    // The first bytes of the chunk when readAhead fetched them.
    std::optional<std::string> fetched(const Sha256Digest& name);
    std::optional<std::string> load(const Sha256Digest& name, std::string& problem) {
        return load(name, problem, lastReadBytes_);
    }

    std::unique_ptr<objects::BlobStore> ownObjects_;  // for a ChunkStore made on a folder
    objects::BlobStore& objects_;
    std::string prefix_;  // "chunks/", or "" for a folder's own objects
    std::filesystem::path folder_;
    bool local_;
    std::shared_ptr<const StoreCipher> cipher_;
    ChunkCodec codec_;
    std::vector<unsigned char> scratch_;
    std::uint64_t lastReadBytes_ = 0;
    std::unique_ptr<objects::ParallelPuts> puts_;
    std::set<Sha256Digest> queued_;  // the chunks given to puts_
    std::deque<std::pair<Sha256Digest, std::future<std::string>>> ahead_;
};

}  // namespace backup_server
