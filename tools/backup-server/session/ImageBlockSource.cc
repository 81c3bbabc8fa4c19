#include "backup-server/session/ImageBlockSource.h"

#include "runtime/Exceptions.h"

namespace backup_server {

ImageBlockSource::ImageBlockSource(const std::filesystem::path& image, std::uint32_t blockSize)
    : in_(image, std::ios::binary), blockSize_(blockSize) {
    std::error_code error;
    std::uint64_t bytes = std::filesystem::file_size(image, error);
    if (!in_ || error)
        ZENTRAD_THROW(runtime::AgentException, "Cannot read the image " + image.string());
    if (blockSize == 0 || bytes % blockSize != 0) {
        ZENTRAD_THROW(runtime::AgentException, "The image " + image.string() + " (" +
                                                   std::to_string(bytes) +
                                                   " bytes) is not a whole number of " +
                                                   std::to_string(blockSize) + "-byte blocks");
    }
    blockCount_ = bytes / blockSize;
}

blocks::BlockPtr ImageBlockSource::next() {
    if (next_ == blockCount_)
        return nullptr;
    // Every byte is read into it: zeroing it first would be wasted.
    auto data = std::make_shared_for_overwrite<unsigned char[]>(blockSize_);
    in_.read(reinterpret_cast<char*>(data.get()), blockSize_);
    if (!in_)
        ZENTRAD_THROW(runtime::AgentException, "Cannot read block " + std::to_string(next_));
    auto block = std::make_shared<blocks::Block>(next_, blockSize_, std::move(data), blockSize_,
                                                 false, false);
    block->computeDigest();
    ++next_;
    return block;
}

}  // namespace backup_server
