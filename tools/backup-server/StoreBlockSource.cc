#include "backup-server/StoreBlockSource.h"

#include <cstring>

#include "winutil/Exceptions.h"

namespace backup_server {

StoreBlockSource::StoreBlockSource(VolumeStore& store) : store_(store) {
    for (std::uint64_t i = 0; i < store.blockCount(); ++i)
        usedBlocks_ += store.usedMap().bit(i) ? 1 : 0;
    if (!store.hasImage() || usedBlocks_ == 0) {
        ZENTRAD_THROW(winutil::AgentException,
                      "The store " + store.folder().string() + " holds no complete backup");
    }
}

blocks::BlockPtr StoreBlockSource::next() {
    while (next_ < store_.blockCount() && !store_.usedMap().bit(next_))
        ++next_;
    if (next_ == store_.blockCount())
        return nullptr;
    std::uint64_t index = next_++;
    std::string bytes = store_.readBlock(index);
    std::uint32_t size = store_.blockSize();
    if (bytes.size() != size)
        ZENTRAD_THROW(winutil::AgentException, "Cannot read block " + std::to_string(index));
    auto data = std::make_shared<unsigned char[]>(size);
    std::memcpy(data.get(), bytes.data(), size);
    auto block = std::make_shared<blocks::Block>(index, size, std::move(data), size, false, false);
    block->setDigest(store_.readDigest(index));
    return block;
}

}  // namespace backup_server
