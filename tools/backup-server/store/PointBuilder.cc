#include "backup-server/store/PointBuilder.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

#include "backup-server/store/StoreError.h"
#include "blocks/Md5Stream.h"

namespace backup_server {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void refuse(const std::string& what) {
    ZENTRAD_THROW(StoreError, "Backup error: " + what);
}

// Chunks on their way at once: enough to hide an object store's round trips, few enough
// that memory stays at a few chunks per thread.
constexpr unsigned kRemotePuts = 8;
constexpr unsigned kLocalPuts = 2;

std::string newIndexName() {
    std::random_device random;
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now).count()) + "-" +
           std::to_string(::getpid()) + "-" + std::to_string(random() & 0xFFFFFF) + ".index";
}

}  // namespace

PointBuilder::PointBuilder(Store& store, std::string deviceID, const PointGeometry& geometry,
                           std::unique_ptr<PointReader> base)
    : store_(store),
      deviceID_(std::move(deviceID)),
      geometry_(geometry),
      chunks_(store.objects(), store.cipher()) {
    // A volume keeps the chunk size of the point it builds on, whatever size new volumes
    // get: its unchanged chunks then keep their names and are neither read nor stored again.
    if (base && base->geometry().blockSize == geometry.blockSize)
        geometry_.chunkBlocks = base->geometry().chunkBlocks;
    checkGeometry(geometry_);
    held_ = blocks::BlockMap(geometry.blockCount);
    // A volume that grew or shrank keeps its blocks' places: the base still holds the
    // blocks both sizes share (the agent may have skipped them against its digests).
    if (base && base->geometry().blockSize == geometry.blockSize) {
        base_ = std::move(base);
        std::uint64_t shared = std::min(base_->geometry().blockCount, geometry.blockCount);
        for (std::uint64_t i = 0; i < shared; ++i) {
            if (base_->used().bit(i))
                held_.setBit(i);
        }
        // A chunk of the base that is gone (lost, or set aside by verify as damaged) holds
        // nothing: its blocks must be sent again, and its name is never used again.
        avoided_.assign(base_->geometry().chunkCount(), false);
        for (std::uint64_t chunk : base_->absentChunks()) {
            avoided_[chunk] = true;
            std::uint64_t end = std::min(shared, (chunk + 1) * geometry_.chunkBlocks);
            for (std::uint64_t i = chunk * geometry_.chunkBlocks; i < end; ++i)
                held_.clearBit(i);
        }
    }
    used_ = blocks::BlockMap(geometry.blockCount);
    indexName_ = newIndexName();
    index_ = std::make_unique<PointIndexWriter>(store.scratchPath(indexName_ + ".part"), geometry_,
                                                *store.cipher());
    // Chunks travel while the next ones arrive: an object store answers each put after a
    // round trip, and a folder on a fast disk gains from a second writer too.
    chunks_.startParallelPuts(store.remote() ? kRemotePuts : kLocalPuts);
    data_.resize(std::size_t{geometry_.chunkBlocks} * geometry_.blockSize);
    digests_.resize(geometry_.chunkBlocks);
    sent_.assign(geometry_.chunkBlocks, false);
}

PointBuilder::~PointBuilder() {
    if (!committed_) {
        // The half-written index is of no use to anyone; its chunks wait for gc.
        index_.reset();
        std::error_code error;
        fs::remove(store_.scratchPath(indexName_ + ".part"), error);
    }
}

void PointBuilder::setUsed(const blocks::BlockMap& used) {
    if (used.capacity() != geometry_.blockCount)
        refuse("used-block map does not fit the volume");
    used_ = used;
}

void PointBuilder::writeBlock(std::uint64_t index, const unsigned char* data,
                              const blocks::BlockDigest& digest) {
    if (index >= geometry_.blockCount || index < nextBlock_) {
        refuse("block #" + std::to_string(index) +
               " out of order (blocks must arrive once each, in ascending order)");
    }
    std::uint64_t chunk = index / geometry_.chunkBlocks;
    flushThrough(chunk);  // completes every chunk before this one
    std::size_t slot = index % geometry_.chunkBlocks;
    std::memcpy(data_.data() + slot * geometry_.blockSize, data, geometry_.blockSize);
    digests_[slot] = digest;
    sent_[slot] = true;
    nextBlock_ = index + 1;
}

void PointBuilder::flushThrough(std::uint64_t chunk) {
    while (next_ < chunk) {
        flush(next_);
        std::fill(sent_.begin(), sent_.end(), false);
        ++next_;
    }
}

bool PointBuilder::sameAsBase(std::uint64_t chunk) const {
    if (!base_ || chunk >= base_->geometry().chunkCount() || avoided_[chunk] ||
        !(base_->geometry().shapeOf(chunk) == geometry_.shapeOf(chunk))) {
        return false;
    }
    std::uint64_t first = chunk * geometry_.chunkBlocks;
    ChunkShape shape = geometry_.shapeOf(chunk);
    for (std::uint32_t i = 0; i < shape.blocks; ++i) {
        if (sent_[i] || used_.bit(first + i) != held_.bit(first + i))
            return false;
    }
    return true;
}

void PointBuilder::flush(std::uint64_t chunk) {
    if (sameAsBase(chunk)) {
        index_->addEntry(base_->index().entry(chunk));
        return;
    }
    std::uint64_t first = chunk * geometry_.chunkBlocks;
    ChunkShape shape = geometry_.shapeOf(chunk);
    bool anyUsed = false;
    for (std::uint32_t i = 0; i < shape.blocks; ++i) {
        std::uint64_t block = first + i;
        unsigned char* slot = data_.data() + std::size_t{i} * shape.blockSize;
        if (!used_.bit(block)) {
            std::memset(slot, 0, shape.blockSize);
            blocks::Md5Stream md5;
            md5.update(slot, shape.blockSize);
            digests_[i] = md5.finish();
            continue;
        }
        anyUsed = true;
        if (sent_[i])
            continue;
        if (!held_.bit(block))
            refuse("used block #" + std::to_string(block) + " was neither sent nor held before");
        std::memcpy(slot, base_->block(block), shape.blockSize);
        digests_[i] = base_->digest(block);
    }
    if (!anyUsed) {
        index_->addEntry(Sha256Digest{});
        return;
    }
    Sha256Digest name = chunks_.nameOf(shape, data_.data());
    storedBytes_ += chunks_.put(name, shape, data_.data(), digests_.data());
    index_->addEntry(name);
}

void PointBuilder::storeIndex() {
    // An index grows with the volume (hundreds of MiB for a few TiB): it goes to the store
    // from its file, moved into a folder store, in parts into a bucket.
    fs::path part = store_.scratchPath(indexName_ + ".part");
    store_.objects().putFile(Store::indexKey(indexName_), part);
    std::error_code error;
    fs::remove(part, error);
}

PointRecord PointBuilder::commit(PointRecord details) {
    flushThrough(geometry_.chunkCount());
    details.deviceID = deviceID_;
    details.geometry = geometry_;
    details.indexSeal = index_->finish(used_);
    details.storedBytes = storedBytes_;
    details.indexFile = indexName_;
    // Every chunk is stored before the index that names them, and both before the point
    // enters the catalogue: a put that failed fails the backup here, and no point is added.
    details.storedBytes += chunks_.finishPuts();
    storeIndex();
    store_.sync();
    details.id = store_.catalogue().addPoint(details);
    committed_ = true;
    return details;
}

}  // namespace backup_server
