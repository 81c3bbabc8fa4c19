#include "backup-server/session/StoreBlockSource.h"

#include <cstring>

#include "backup-server/store/StoreError.h"

namespace backup_server {
namespace {

PointReader& latestOf(VolumeStore& store) {
    PointReader* point = store.reader();
    if (point == nullptr) {
        ZENTRAD_THROW(StoreError, "The store " + store.folder().string() +
                                      " holds no restore point of " + store.deviceID());
    }
    return *point;
}

}  // namespace

StoreBlockSource::StoreBlockSource(PointReader& point) : point_(point) {
    const blocks::BlockMap& used = point.used();
    for (std::uint64_t i = 0; i < used.capacity(); ++i)
        usedBlocks_ += used.bit(i) ? 1 : 0;
    if (usedBlocks_ == 0) {
        ZENTRAD_THROW(StoreError,
                      "Restore point " + std::to_string(point.point().id) + " uses no block");
    }
}

StoreBlockSource::StoreBlockSource(VolumeStore& store) : StoreBlockSource(latestOf(store)) {}

blocks::BlockPtr StoreBlockSource::next() {
    const blocks::BlockMap& used = point_.used();
    std::uint64_t count = used.capacity();
    while (next_ < count && !used.bit(next_))
        ++next_;
    if (next_ == count)
        return nullptr;
    std::uint64_t index = next_++;
    std::uint32_t size = point_.geometry().blockSize;
    auto data = std::make_shared_for_overwrite<unsigned char[]>(size);
    std::memcpy(data.get(), point_.block(index), size);
    auto block = std::make_shared<blocks::Block>(index, size, std::move(data), size, false, false);
    block->setDigest(point_.digest(index));
    ++given_;
    return block;
}

}  // namespace backup_server
