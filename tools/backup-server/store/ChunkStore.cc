#include "backup-server/store/ChunkStore.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <system_error>

#include "backup-server/store/StoreError.h"

namespace backup_server {
namespace {

namespace fs = std::filesystem;

// The longest chunk file there can be: header, digests and zstd's bound for the largest
// chunk (which is a little more than the data itself).
constexpr std::size_t kMaxChunkFileBytes =
    kChunkHeaderBytes + 16 * kMaxChunkBlocks + kMaxChunkBytes + (kMaxChunkBytes >> 7) + 4096;

std::string_view nameBytes(const Sha256Digest& name) {
    return std::string_view(reinterpret_cast<const char*>(name.data()), name.size());
}

}  // namespace

ChunkStore::ChunkStore(fs::path folder) : ChunkStore(std::move(folder), StoreCipher::plain()) {}

ChunkStore::ChunkStore(fs::path folder, std::shared_ptr<const StoreCipher> cipher)
    : folder_(std::move(folder)),
      cipher_(std::move(cipher)),
      codec_([cipher = cipher_.get()](ChunkShape shape, const unsigned char* data) {
          return cipher->chunkName(shape, data);
      }) {}

fs::path ChunkStore::pathOf(const Sha256Digest& name) const {
    std::string hex = toHex(name);
    return folder_ / hex.substr(0, 2) / hex;
}

std::uint64_t ChunkStore::put(const Sha256Digest& name, ChunkShape shape, const unsigned char* data,
                              const blocks::BlockDigest* blockDigests) {
    fs::path path = pathOf(name);
    std::error_code error;
    if (fs::exists(path, error)) {
        // A chunk left by a backup that never completed is as good as a new one once it is
        // whole; one cut short (a crash before the data reached the disk) is written again.
        std::vector<blocks::BlockDigest> digests;
        std::string problem;
        if (readDigests(name, shape, digests, problem))
            return 0;
        fs::remove(path, error);
    }
    std::string file =
        cipher_->seal(SealedKind::chunk, nameBytes(name), codec_.encode(shape, data, blockDigests));
    fs::create_directories(path.parent_path());
    fs::path temporary = path;
    temporary += ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(file.data(), static_cast<std::streamsize>(file.size()));
        if (!out.flush())
            ZENTRAD_THROW(StoreError, "Cannot write the chunk " + temporary.string());
    }
    fs::rename(temporary, path);
    return file.size();
}

bool ChunkStore::present(const Sha256Digest& name) const {
    std::error_code error;
    auto size = fs::file_size(pathOf(name), error);
    return !error && size >= kChunkHeaderBytes && size <= cipher_->storedLength(kMaxChunkFileBytes);
}

bool ChunkStore::setAside(const Sha256Digest& name, const fs::path& folder) const {
    fs::path path = pathOf(name);
    std::error_code error;
    if (!fs::exists(path, error))
        return false;
    fs::create_directories(folder, error);
    fs::path target = folder / path.filename();
    // A chunk set aside before keeps its name; a later copy gets a numbered one.
    for (int copy = 1; fs::exists(target, error); ++copy)
        target = folder / (path.filename().string() + "." + std::to_string(copy));
    fs::rename(path, target, error);
    if (error) {
        ZENTRAD_THROW(StoreError, "Cannot move the damaged chunk " + path.string() + " to " +
                                      target.string() + ": " + error.message());
    }
    return true;
}

// One read of exactly the bytes wanted: the chunks of a restore or a digest listing are
// read one after another, and a copy through a string stream doubled the cost.
std::optional<std::string> ChunkStore::load(const Sha256Digest& name, std::string& problem,
                                            std::uint64_t& fileBytes, std::size_t most) const {
    fs::path path = pathOf(name);
    if (cipher_->sealed()) {
        std::unique_ptr<ObjectReader> reader =
            cipher_->openFile(path, SealedKind::chunk, nameBytes(name), problem);
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
    std::error_code error;
    auto size = fs::file_size(path, error);
    if (error) {
        problem = "chunk missing";
        return std::nullopt;
    }
    if (size > kMaxChunkFileBytes) {
        problem = "chunk file too long";
        return std::nullopt;
    }
    fileBytes = size;
    std::string file(std::min<std::uint64_t>(size, most), '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(file.data(), static_cast<std::streamsize>(file.size()));
    if (!in || in.gcount() != static_cast<std::streamsize>(file.size())) {
        problem = "chunk unreadable";
        return std::nullopt;
    }
    if (looksSealed(file)) {
        problem = "chunk sealed, but the store has no keys (is its keys folder missing?)";
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

void ChunkStore::forEachFile(
    const std::function<void(const fs::path&, std::optional<Sha256Digest>)>& visit) const {
    std::error_code error;
    if (!fs::is_directory(folder_, error))
        return;
    for (const auto& directory : fs::directory_iterator(folder_)) {
        if (!directory.is_directory())
            continue;
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(directory.path()))
            files.push_back(entry.path());
        for (const auto& file : files) {
            Sha256Digest name{};
            std::string text = file.filename().string();
            bool named = fromHex(text, name) && text.substr(0, 2) == directory.path().filename();
            visit(file, named ? std::optional(name) : std::nullopt);
        }
    }
}

}  // namespace backup_server
