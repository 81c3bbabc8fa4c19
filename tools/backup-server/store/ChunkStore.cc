#include "backup-server/store/ChunkStore.h"

#include <algorithm>

#include "backup-server/objects/FolderBlobStore.h"
#include "backup-server/objects/ParallelFor.h"
#include "backup-server/store/StoreError.h"

namespace backup_server {
namespace {

namespace fs = std::filesystem;

// The longest chunk file there can be: header, digests and zstd's bound for the largest
// chunk (which is a little more than the data itself).
constexpr std::size_t kMaxChunkFileBytes =
    kChunkHeaderBytes + 16 * kMaxChunkBlocks + kMaxChunkBytes + (kMaxChunkBytes >> 7) + 4096;

// Looks at chunks of an object store at once: enough to hide the round trips, few enough
// not to make a server throttle.
constexpr unsigned kParallelLooks = 16;

std::string_view nameBytes(const Sha256Digest& name) {
    return std::string_view(reinterpret_cast<const char*>(name.data()), name.size());
}

}  // namespace

ChunkStore::ChunkStore(objects::BlobStore& objects, std::shared_ptr<const StoreCipher> cipher)
    : objects_(objects),
      prefix_("chunks/"),
      local_(dynamic_cast<objects::FolderBlobStore*>(&objects) != nullptr),
      cipher_(std::move(cipher)),
      codec_([cipher = cipher_.get()](ChunkShape shape, const unsigned char* data) {
          return cipher->chunkName(shape, data);
      }) {
    if (auto* folder = dynamic_cast<objects::FolderBlobStore*>(&objects))
        folder_ = folder->folder() / "chunks";
}

ChunkStore::ChunkStore(fs::path folder, std::shared_ptr<const StoreCipher> cipher)
    : ownObjects_(std::make_unique<objects::FolderBlobStore>(
          folder, objects::FolderBlobStore::SyncPolicy::onSync,
          objects::FolderBlobStore::Creation::existingFolder)),
      objects_(*ownObjects_),
      folder_(std::move(folder)),
      local_(true),
      cipher_(std::move(cipher)),
      codec_([cipher = cipher_.get()](ChunkShape shape, const unsigned char* data) {
          return cipher->chunkName(shape, data);
      }) {}

ChunkStore::~ChunkStore() = default;

std::string ChunkStore::keyOf(const Sha256Digest& name) const {
    std::string hex = toHex(name);
    return prefix_ + hex.substr(0, 2) + "/" + hex;
}

fs::path ChunkStore::pathOf(const Sha256Digest& name) const {
    std::string hex = toHex(name);
    return folder_ / hex.substr(0, 2) / hex;
}

void ChunkStore::startParallelPuts(unsigned parallel) {
    puts_ = std::make_unique<objects::ParallelPuts>(objects_, parallel);
}

std::uint64_t ChunkStore::finishPuts() {
    if (!puts_)
        return 0;
    puts_->finish();
    return puts_->bytesPut();
}

std::uint64_t ChunkStore::put(const Sha256Digest& name, ChunkShape shape, const unsigned char* data,
                              const blocks::BlockDigest* blockDigests) {
    std::string key = keyOf(name);
    if (local_ && objects_.head(key)) {
        // A chunk left by a backup that never completed is as good as a new one once it is
        // whole; one cut short (a crash before the data reached the disk) is written again.
        // An object store writes an object whole or not at all: there a look is enough,
        // and it is taken by the thread that puts.
        std::vector<blocks::BlockDigest> digests;
        std::string problem;
        if (readDigests(name, shape, digests, problem))
            return 0;
        objects_.remove(key);
    }
    std::string file =
        cipher_->seal(SealedKind::chunk, nameBytes(name), codec_.encode(shape, data, blockDigests));
    if (puts_) {
        // A chunk met twice in one backup (zeros, copies of a file) is stored and counted
        // once: the first put may still be on its way when the second comes.
        if (!queued_.insert(name).second)
            return 0;
        if (local_)
            puts_->put(std::move(key), std::move(file));
        else
            puts_->putUnlessPresent(std::move(key), std::move(file));
        return 0;
    }
    if (!local_ && objects_.head(key))
        return 0;
    objects_.put(key, file);
    return file.size();
}

bool ChunkStore::present(const Sha256Digest& name) const {
    std::optional<std::uint64_t> size = objects_.head(keyOf(name));
    return size && *size >= kChunkHeaderBytes && *size <= cipher_->storedLength(kMaxChunkFileBytes);
}

std::vector<std::size_t> ChunkStore::absentOf(const std::vector<Sha256Digest>& names) const {
    std::vector<char> absent(names.size(), 0);
    objects::parallelFor(names.size(), local_ ? 1 : kParallelLooks,
                         [&](std::uint64_t i) { absent[i] = !present(names[i]); });
    std::vector<std::size_t> places;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (absent[i])
            places.push_back(i);
    }
    return places;
}

bool ChunkStore::setAside(const Sha256Digest& name) const {
    std::string key = keyOf(name);
    std::string hex = toHex(name);
    try {
        std::string bytes = objects_.get(key);
        std::string target = "damaged/" + hex;
        // A chunk set aside before keeps its name; a later copy gets a numbered one.
        for (int copy = 1; objects_.head(target); ++copy)
            target = "damaged/" + hex + "." + std::to_string(copy);
        objects_.put(target, bytes);
        objects_.sync();
        objects_.remove(key);
    } catch (const objects::BlobError& error) {
        if (error.kind() == objects::BlobError::Kind::missing)
            return false;
        ZENTRAD_THROW(StoreError,
                      "Cannot set the damaged chunk " + hex + " aside: " + error.message());
    }
    return true;
}

void ChunkStore::readAhead(const std::vector<Sha256Digest>& names) {
    if (local_)
        return;
    for (const Sha256Digest& name : names) {
        if (ahead_.size() >= kReadAhead)
            return;
        if (std::any_of(ahead_.begin(), ahead_.end(),
                        [&](const auto& entry) { return entry.first == name; }))
            continue;
        ahead_.emplace_back(
            name, std::async(std::launch::async, [&objects = objects_, key = keyOf(name)] {
                return objects.get(key, objects::BlobRange{0, StoreCipher::firstWindow()});
            }));
    }
}

std::optional<std::string> ChunkStore::fetched(const Sha256Digest& name) {
    auto found = std::find_if(ahead_.begin(), ahead_.end(),
                              [&](const auto& entry) { return entry.first == name; });
    if (found == ahead_.end())
        return std::nullopt;
    std::future<std::string> bytes = std::move(found->second);
    // Those before it were passed over by the reader.
    ahead_.erase(ahead_.begin(), found + 1);
    try {
        return bytes.get();
    } catch (const objects::BlobError&) {
        return std::nullopt;  // read again, where the failure is reported as it should be
    }
}

std::optional<std::string> ChunkStore::load(const Sha256Digest& name, std::string& problem,
                                            std::uint64_t& fileBytes, std::size_t most) {
    std::unique_ptr<ObjectReader> reader = cipher_->openObject(
        objects_, keyOf(name), SealedKind::chunk, nameBytes(name), problem, fetched(name));
    if (!reader) {
        problem = problem == "missing" ? "chunk missing" : "chunk " + problem;
        return std::nullopt;
    }
    if (reader->size() > kMaxChunkFileBytes) {
        problem = "chunk file too long";
        return std::nullopt;
    }
    fileBytes = reader->size();
    std::string file(std::min<std::uint64_t>(fileBytes, most), '\0');
    if (!reader->read(0, file.data(), file.size(), problem)) {
        problem = "chunk " + problem;
        return std::nullopt;
    }
    return file;
}

void ChunkStore::read(const Sha256Digest& name, ChunkShape shape, unsigned char* data,
                      std::vector<blocks::BlockDigest>& digests) {
    std::string problem;
    std::optional<std::string> file = load(name, problem);
    std::optional<ChunkDamage> damage;
    // The name (SHA-256 over the data) proves the data; the blocks' own digests are
    // checked by verify.
    if (file)
        damage = codec_.decode(*file, shape, name, data, digests, false);
    if (!file || damage) {
        ZENTRAD_THROW(StoreError, "Damaged store: chunk " + toHex(name) + ": " +
                                      (file ? damage->problem : problem) + " (run verify)");
    }
}

bool ChunkStore::readDigests(const Sha256Digest& name, ChunkShape shape,
                             std::vector<blocks::BlockDigest>& digests, std::string& problem) {
    std::uint64_t fileBytes = 0;
    std::optional<std::string> head = load(name, problem, fileBytes, ChunkCodec::digestsEnd(shape));
    return head && codec_.readDigests(*head, fileBytes, shape, digests, problem);
}

std::optional<ChunkDamage> ChunkStore::check(const Sha256Digest& name, ChunkShape shape) {
    std::string problem;
    std::optional<std::string> file = load(name, problem);
    if (!file) {
        ChunkDamage damage{problem, {}};
        for (std::uint32_t i = 0; i < shape.blocks; ++i)
            damage.blocks.push_back(i);
        return damage;
    }
    scratch_.resize(shape.dataBytes());
    std::vector<blocks::BlockDigest> digests;
    return codec_.decode(*file, shape, name, scratch_.data(), digests);
}

void ChunkStore::forEachObject(
    const std::function<void(const objects::BlobInfo&, std::optional<Sha256Digest>)>& visit) const {
    objects_.list(prefix_, [&](const objects::BlobInfo& info) {
        // prefix_ + XX/NAME, XX the name's first two digits.
        std::string_view rest = std::string_view(info.key).substr(prefix_.size());
        Sha256Digest name{};
        bool named = rest.size() == 3 + 2 * kSha256Bytes && rest[2] == '/' &&
                     fromHex(std::string(rest.substr(3)), name) &&
                     rest.substr(0, 2) == rest.substr(3, 2);
        visit(info, named ? std::optional(name) : std::nullopt);
    });
}

}  // namespace backup_server
