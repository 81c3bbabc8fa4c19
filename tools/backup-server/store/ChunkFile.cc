#include "backup-server/store/ChunkFile.h"

#include <zstd.h>

#include <cstring>
#include <optional>

#include "backup-server/store/StoreError.h"
#include "blocks/Md5Stream.h"
#include "platform/ByteOrder.h"

namespace backup_server {
namespace {

constexpr char kMagic[4] = {'Z', 'T', 'C', 'H'};
// zstd level 3: about as small as deflate at its best, several times faster, so the
// server keeps up with the agent on the same machine.
constexpr int kLevel = 3;

blocks::BlockDigest md5Of(const unsigned char* data, std::size_t length) {
    blocks::Md5Stream md5;
    md5.update(data, length);
    return md5.finish();
}

// The header's fields, checked against the shape expected and the file's length (head
// holds the file's first bytes, fileBytes is its whole length).
bool checkHeader(std::string_view head, std::uint64_t fileBytes, ChunkShape shape,
                 std::uint32_t& payload, std::string& problem) {
    auto bytes = reinterpret_cast<const unsigned char*>(head.data());
    if (head.size() < kChunkHeaderBytes || std::memcmp(bytes, kMagic, 4) != 0) {
        problem = "not a chunk file";
        return false;
    }
    if (platform::loadU16(bytes + 4) != fileVersionFor(shape.blockSize)) {
        problem = "unknown chunk version";
        return false;
    }
    if (platform::loadU32(bytes + 8) != shape.blockSize ||
        platform::loadU32(bytes + 12) != shape.blocks) {
        problem = "chunk header does not match the index";
        return false;
    }
    payload = platform::loadU32(bytes + 16);
    std::uint64_t expected = kChunkHeaderBytes + std::uint64_t{16} * shape.blocks + payload;
    if (fileBytes != expected || head.size() < ChunkCodec::digestsEnd(shape)) {
        problem = "chunk file of " + std::to_string(fileBytes) + " bytes, expected " +
                  std::to_string(expected);
        return false;
    }
    return true;
}

}  // namespace

struct ChunkCodec::Contexts {
    ZSTD_CCtx* compress = ZSTD_createCCtx();
    ZSTD_DCtx* decompress = ZSTD_createDCtx();
    ~Contexts() {
        ZSTD_freeCCtx(compress);
        ZSTD_freeDCtx(decompress);
    }
};

Sha256Digest chunkName(ChunkShape shape, const unsigned char* data) {
    std::string prefix;
    platform::appendU32(prefix, shape.blockSize);
    platform::appendU32(prefix, shape.blocks);
    return Sha256().update(prefix.data(), prefix.size()).update(data, shape.dataBytes()).finish();
}

ChunkCodec::ChunkCodec(ChunkNamer namer)
    : contexts_(std::make_unique<Contexts>()), namer_(std::move(namer)) {
    if (contexts_->compress == nullptr || contexts_->decompress == nullptr ||
        ZSTD_isError(
            ZSTD_CCtx_setParameter(contexts_->compress, ZSTD_c_compressionLevel, kLevel)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(contexts_->compress, ZSTD_c_checksumFlag, 1))) {
        ZENTRAD_THROW(StoreError, "Cannot set up zstd");
    }
}

ChunkCodec::~ChunkCodec() = default;

std::string ChunkCodec::encode(ChunkShape shape, const unsigned char* data,
                               const blocks::BlockDigest* digests) {
    std::string file(kMagic, 4);
    file.push_back(0);
    file.push_back(static_cast<char>(fileVersionFor(shape.blockSize)));
    file.append(2, '\0');
    platform::appendU32(file, shape.blockSize);
    platform::appendU32(file, shape.blocks);
    platform::appendU32(file, 0);  // payload length, below
    for (std::uint32_t i = 0; i < shape.blocks; ++i)
        file.append(reinterpret_cast<const char*>(digests[i].data()), digests[i].size());
    std::size_t start = file.size();
    file.resize(start + ZSTD_compressBound(shape.dataBytes()));
    std::size_t written = ZSTD_compress2(contexts_->compress, file.data() + start,
                                         file.size() - start, data, shape.dataBytes());
    if (ZSTD_isError(written))
        ZENTRAD_THROW(StoreError,
                      std::string("zstd compression failed: ") + ZSTD_getErrorName(written));
    file.resize(start + written);
    std::string length;
    platform::appendU32(length, static_cast<std::uint32_t>(written));
    file.replace(16, 4, length);
    return file;
}

bool ChunkCodec::readDigests(std::string_view file, ChunkShape shape,
                             std::vector<blocks::BlockDigest>& digests, std::string& problem) {
    return readDigests(file, file.size(), shape, digests, problem);
}

bool ChunkCodec::readDigests(std::string_view head, std::uint64_t fileBytes, ChunkShape shape,
                             std::vector<blocks::BlockDigest>& digests, std::string& problem) {
    std::uint32_t payload = 0;
    if (!checkHeader(head, fileBytes, shape, payload, problem))
        return false;
    digests.resize(shape.blocks);
    for (std::uint32_t i = 0; i < shape.blocks; ++i)
        std::memcpy(digests[i].data(), head.data() + kChunkHeaderBytes + 16 * i, 16);
    return true;
}

std::optional<ChunkDamage> ChunkCodec::decode(std::string_view file, ChunkShape shape,
                                              const Sha256Digest& name, unsigned char* data,
                                              std::vector<blocks::BlockDigest>& digests,
                                              bool checkBlocks) {
    ChunkDamage damage;
    for (std::uint32_t i = 0; i < shape.blocks; ++i)
        damage.blocks.push_back(i);
    if (!readDigests(file, shape, digests, damage.problem))
        return damage;
    std::size_t start = kChunkHeaderBytes + std::size_t{16} * shape.blocks;
    const char* frame = file.data() + start;
    std::size_t frameBytes = file.size() - start;
    unsigned long long content = ZSTD_getFrameContentSize(frame, frameBytes);
    if (content != shape.dataBytes()) {
        damage.problem = "compressed data damaged (frame header)";
        return damage;
    }
    std::size_t got =
        ZSTD_decompressDCtx(contexts_->decompress, data, shape.dataBytes(), frame, frameBytes);
    if (ZSTD_isError(got) || got != shape.dataBytes()) {
        damage.problem = std::string("compressed data damaged (") +
                         (ZSTD_isError(got) ? ZSTD_getErrorName(got) : "short") + ")";
        return damage;
    }
    damage.blocks.clear();
    bool nameMatches = namer_(shape, data) == name;
    if (nameMatches && !checkBlocks)
        return std::nullopt;
    for (std::uint32_t i = 0; i < shape.blocks; ++i) {
        if (md5Of(data + std::size_t{i} * shape.blockSize, shape.blockSize) != digests[i])
            damage.blocks.push_back(i);
    }
    if (nameMatches && damage.blocks.empty())
        return std::nullopt;
    damage.problem = nameMatches ? "block digests damaged" : "data does not match the chunk's name";
    if (damage.blocks.empty()) {
        for (std::uint32_t i = 0; i < shape.blocks; ++i)
            damage.blocks.push_back(i);
    }
    return damage;
}

}  // namespace backup_server
