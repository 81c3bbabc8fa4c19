#include "backup-server/store/PointIndex.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "backup-server/store/StoreError.h"
#include "platform/ByteOrder.h"

namespace backup_server {
namespace {

namespace fs = std::filesystem;

constexpr char kMagic[4] = {'Z', 'T', 'I', 'X'};
constexpr std::uint32_t kChunkBytes = 256u << 10;  // 1 MiB before

[[noreturn]] void damaged(const fs::path& file, const std::string& what) {
    ZENTRAD_THROW(StoreError,
                  "Damaged store: point index " + file.filename().string() + ": " + what);
}

std::uint64_t indexBytes(const PointGeometry& geometry) {
    return kIndexHeaderBytes + kSha256Bytes * geometry.chunkCount() +
           (geometry.blockCount + 7) / 8 + kSha256Bytes;
}

}  // namespace

ChunkShape PointGeometry::shapeOf(std::uint64_t chunk) const {
    std::uint64_t first = chunk * chunkBlocks;
    std::uint64_t blocks = std::min<std::uint64_t>(chunkBlocks, blockCount - first);
    return ChunkShape{blockSize, static_cast<std::uint32_t>(blocks)};
}

PointGeometry geometryFor(std::uint32_t blockSize, std::uint64_t blockCount) {
    PointGeometry geometry{blockSize, std::max<std::uint32_t>(1, kChunkBytes / blockSize),
                           blockCount};
    checkGeometry(geometry);
    return geometry;
}

void checkGeometry(const PointGeometry& geometry) {
    if (geometry.blockSize < 512 || geometry.blockSize > kMaxBlockSize ||
        geometry.chunkBlocks == 0 || geometry.chunkBlocks > kMaxChunkBlocks ||
        std::uint64_t{geometry.chunkBlocks} * geometry.blockSize > kMaxChunkBytes ||
        geometry.blockCount == 0 || geometry.blockCount > (1ull << 40)) {
        ZENTRAD_THROW(StoreError, "Impossible volume geometry: block size " +
                                      std::to_string(geometry.blockSize) + ", " +
                                      std::to_string(geometry.blockCount) + " blocks");
    }
}

std::string encodeIndexHeader(const PointGeometry& geometry) {
    std::string header(kMagic, 4);
    platform::appendBigEndian(header, fileVersionFor(geometry.blockSize), 2);
    platform::appendBigEndian(header, 0, 2);
    platform::appendBigEndian(header, geometry.blockSize, 4);
    platform::appendBigEndian(header, geometry.chunkBlocks, 4);
    platform::appendBigEndian(header, geometry.blockCount, 8);
    platform::appendBigEndian(header, geometry.chunkCount(), 8);
    return header;
}

PointGeometry parseIndexHeader(const unsigned char* bytes, std::uint64_t fileSize) {
    PointGeometry geometry;
    geometry.blockSize = platform::loadU32(bytes + 8);
    geometry.chunkBlocks = platform::loadU32(bytes + 12);
    geometry.blockCount = platform::loadU64(bytes + 16);
    if (std::memcmp(bytes, kMagic, 4) != 0 ||
        platform::loadU16(bytes + 4) != fileVersionFor(geometry.blockSize)) {
        ZENTRAD_THROW(StoreError, "not a point index of a known version");
    }
    checkGeometry(geometry);
    if (platform::loadU64(bytes + 24) != geometry.chunkCount() || fileSize != indexBytes(geometry))
        ZENTRAD_THROW(StoreError, "index length does not fit its geometry");
    return geometry;
}

bool isEmptyEntry(const Sha256Digest& name) {
    return name == Sha256Digest{};
}

PointIndexWriter::PointIndexWriter(const fs::path& file, const PointGeometry& geometry,
                                   const StoreCipher& cipher)
    : file_(file),
      geometry_(geometry),
      out_(cipher.createFile(file, SealedKind::index, indexObjectName(file))) {
    std::string header = encodeIndexHeader(geometry);
    write(header.data(), header.size());
}

void PointIndexWriter::write(const void* data, std::size_t length) {
    out_->write(data, length);
    seal_.update(data, length);
}

void PointIndexWriter::addEntry(const Sha256Digest& name) {
    if (entries_ >= geometry_.chunkCount())
        ZENTRAD_THROW(StoreError, "More index entries than chunks");
    write(name.data(), name.size());
    ++entries_;
}

Sha256Digest PointIndexWriter::finish(const blocks::BlockMap& used) {
    if (entries_ != geometry_.chunkCount() || used.capacity() != geometry_.blockCount)
        ZENTRAD_THROW(StoreError, "Incomplete point index");
    write(used.bytes(), used.byteCount());
    Sha256Digest seal = seal_.finish();
    out_->write(seal.data(), seal.size());
    out_->finish();
    return seal;
}

PointIndexReader::PointIndexReader(const fs::path& file, const StoreCipher& cipher) : file_(file) {
    std::string problem;
    in_ = cipher.openFile(file, SealedKind::index, indexObjectName(file), problem);
    if (!in_)
        damaged(file, problem == "missing" ? "missing or unreadable" : problem);
    readWhole();
}

PointIndexReader::PointIndexReader(objects::BlobStore& objects, const std::string& key,
                                   const StoreCipher& cipher)
    : file_(fs::path(objects.name()) / key) {
    std::string problem;
    in_ = cipher.openObject(objects, key, SealedKind::index, indexObjectName(key), problem);
    if (!in_)
        damaged(file_, problem == "missing" ? "missing or unreadable" : problem);
    readWhole();
}

void PointIndexReader::readWhole() {
    const fs::path& file = file_;
    std::string problem;
    std::uint64_t size = in_->size();
    unsigned char header[kIndexHeaderBytes];
    if (size < kIndexHeaderBytes)
        damaged(file, "too short");
    if (!in_->read(0, header, sizeof header, problem))
        damaged(file, problem);
    try {
        geometry_ = parseIndexHeader(header, size);
    } catch (const StoreError& failure) {
        damaged(file, failure.message());
    }
    // The seal covers the whole file: read it through once (entries are read again on
    // demand, so memory stays at one buffer and the used map).
    Sha256 seal;
    seal.update(header, sizeof header);
    std::vector<char> buffer(1 << 20);
    std::uint64_t offset = kIndexHeaderBytes;
    std::uint64_t entryBytes = kSha256Bytes * geometry_.chunkCount();
    for (std::uint64_t left = entryBytes; left > 0;) {
        std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        if (!in_->read(offset, buffer.data(), step, problem))
            damaged(file, "cannot read its entries: " + problem);
        seal.update(buffer.data(), step);
        left -= step;
        offset += step;
    }
    used_ = blocks::BlockMap(geometry_.blockCount);
    std::vector<unsigned char> map(used_.byteCount());
    // A buffer at a time like the entries: an index in a bucket is read by ranged gets, and
    // no get may be as long as the map of a large volume.
    for (std::size_t done = 0; done < map.size();) {
        std::size_t step = std::min(map.size() - done, buffer.size());
        if (!in_->read(offset, map.data() + done, step, problem))
            damaged(file, "cannot read its used map: " + problem);
        done += step;
        offset += step;
    }
    Sha256Digest stored{};
    if (!in_->read(offset, stored.data(), stored.size(), problem))
        damaged(file, "cannot read its seal: " + problem);
    seal.update(map.data(), map.size());
    seal_ = seal.finish();
    if (seal_ != stored)
        damaged(file, "its seal does not match its contents");
    used_.appendBits(map.data(), geometry_.blockCount);
}

Sha256Digest PointIndexReader::entry(std::uint64_t chunk) {
    if (chunk >= geometry_.chunkCount())
        ZENTRAD_THROW(StoreError, "Chunk " + std::to_string(chunk) + " out of range");
    // Readers go through the entries in order: a window of them is read at once, not a
    // read per chunk.
    if (chunk < windowFirst_ || chunk - windowFirst_ >= window_.size()) {
        std::uint64_t count =
            std::min<std::uint64_t>(kWindowEntries, geometry_.chunkCount() - chunk);
        window_.resize(static_cast<std::size_t>(count));
        windowFirst_ = chunk;
        std::string problem;
        if (!in_->read(kIndexHeaderBytes + kSha256Bytes * chunk,
                       reinterpret_cast<unsigned char*>(window_.data()), count * kSha256Bytes,
                       problem)) {
            window_.clear();
            damaged(file_, "cannot read entry " + std::to_string(chunk) + ": " + problem);
        }
    }
    return window_[static_cast<std::size_t>(chunk - windowFirst_)];
}

}  // namespace backup_server
