#include "backup-server/store/PointReader.h"

#include <algorithm>

#include "backup-server/store/StoreError.h"
#include "blocks/Md5Stream.h"

namespace backup_server {

PointReader::PointReader(const Store& store, const PointRecord& point)
    : point_(point),
      index_(store.objects(), Store::indexKey(point.indexFile), *store.cipher()),
      chunks_(store.objects(), store.cipher()) {
    if (index_.seal() != point.indexSeal || !(index_.geometry() == point.geometry)) {
        ZENTRAD_THROW(StoreError, "Damaged store: the index of point " + std::to_string(point.id) +
                                      " does not match the catalogue");
    }
}

const std::vector<std::uint64_t>& PointReader::absentChunks() {
    if (!absent_) {
        absent_.emplace();
        // A batch of chunks at a time: an object store is asked about each batch at once.
        constexpr std::uint64_t kBatch = 4096;
        std::uint64_t count = index_.geometry().chunkCount();
        for (std::uint64_t first = 0; first < count; first += kBatch) {
            std::vector<std::uint64_t> places;
            std::vector<Sha256Digest> names;
            for (std::uint64_t chunk = first; chunk < std::min(count, first + kBatch); ++chunk) {
                Sha256Digest name = index_.entry(chunk);
                if (!isEmptyEntry(name)) {
                    places.push_back(chunk);
                    names.push_back(name);
                }
            }
            for (std::size_t i : chunks_.absentOf(names))
                absent_->push_back(places[i]);
        }
    }
    return *absent_;
}

void PointReader::requireChunks() {
    const std::vector<std::uint64_t>& absent = absentChunks();
    if (absent.empty())
        return;
    ZENTRAD_THROW(StoreError,
                  "Damaged store: point " + std::to_string(point_.id) + " lacks " +
                      std::to_string(absent.size()) + " of its chunks (the first is chunk " +
                      toHex(index_.entry(absent.front())) +
                      ", missing or set aside as damaged); nothing was read from it. Run verify, "
                      "or restore another point");
}

void PointReader::load(std::uint64_t chunk) {
    if (chunk == loaded_)
        return;
    const PointGeometry& geometry = index_.geometry();
    ChunkShape shape = geometry.shapeOf(chunk);
    data_.resize(shape.dataBytes());
    Sha256Digest name = index_.entry(chunk);
    loaded_ = ~std::uint64_t{0};
    if (isEmptyEntry(name)) {
        std::fill(data_.begin(), data_.end(), 0);
        blocks::Md5Stream md5;
        md5.update(data_.data(), shape.blockSize);
        digests_.assign(shape.blocks, md5.finish());
    } else {
        readAheadOf(chunk);
        chunks_.read(name, shape, data_.data(), digests_);
    }
    loaded_ = chunk;
}

void PointReader::readAheadOf(std::uint64_t chunk) {
    if (chunks_.local())
        return;
    // Restores read a point front to back: the next chunks travel while this one is used.
    std::vector<Sha256Digest> next;
    std::uint64_t end =
        std::min(index_.geometry().chunkCount(), chunk + 1 + ChunkStore::kReadAhead);
    for (std::uint64_t later = chunk + 1; later < end; ++later) {
        Sha256Digest name = index_.entry(later);
        if (!isEmptyEntry(name))
            next.push_back(name);
    }
    chunks_.readAhead(next);
}

const unsigned char* PointReader::block(std::uint64_t index) {
    const PointGeometry& geometry = index_.geometry();
    if (index >= geometry.blockCount)
        ZENTRAD_THROW(StoreError, "Block #" + std::to_string(index) + " lies beyond the volume's " +
                                      std::to_string(geometry.blockCount) + " blocks");
    load(index / geometry.chunkBlocks);
    return data_.data() + (index % geometry.chunkBlocks) * geometry.blockSize;
}

blocks::BlockDigest PointReader::digest(std::uint64_t index) {
    block(index);
    return digests_[index % index_.geometry().chunkBlocks];
}

bool PointReader::chunkDigests(std::uint64_t chunk, std::vector<blocks::BlockDigest>& digests,
                               std::string& problem) {
    Sha256Digest name = index_.entry(chunk);
    if (isEmptyEntry(name)) {
        problem = "no chunk";
        return false;
    }
    return chunks_.readDigests(name, index_.geometry().shapeOf(chunk), digests, problem);
}

}  // namespace backup_server
