#include "backup-server/store/VolumeStore.h"

#include "backup-server/store/StoreError.h"

namespace backup_server {

VolumeStore::VolumeStore(const std::filesystem::path& root, const std::string& deviceID,
                         const std::string& agent)
    : root_(root), deviceID_(deviceID), agent_(agent) {
    refresh();
}

void VolumeStore::refresh() {
    reader_.reset();
    store_ = std::make_unique<Store>(root_, Store::Access::look);
    latest_ = store_->catalogue().latest(agent_, deviceID_);
}

std::optional<std::string> VolumeStore::journalKey() const {
    if (!latest_ || latest_->journalKey.size() != kJournalKeyBytes)
        return std::nullopt;
    return latest_->journalKey;
}

PointReader* VolumeStore::reader() {
    if (!reader_ && latest_)
        reader_ = std::make_unique<PointReader>(*store_, *latest_);
    return reader_.get();
}

const blocks::BlockMap& VolumeStore::usedMap() {
    PointReader* point = reader();
    return point != nullptr ? point->used() : none_;
}

std::string VolumeStore::readBlock(std::uint64_t index) {
    PointReader* point = reader();
    if (point == nullptr)
        ZENTRAD_THROW(StoreError, "No restore point of " + deviceID_ + " of " + agent_ + " in " +
                                      root_.string());
    return std::string(reinterpret_cast<const char*>(point->block(index)), blockSize());
}

blocks::BlockDigest VolumeStore::readDigest(std::uint64_t index) {
    PointReader* point = reader();
    if (point == nullptr)
        ZENTRAD_THROW(StoreError, "No restore point of " + deviceID_ + " of " + agent_ + " in " +
                                      root_.string());
    return point->digest(index);
}

}  // namespace backup_server
