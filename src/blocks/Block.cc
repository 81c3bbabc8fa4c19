#include "blocks/Block.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "crypto/Digest.h"
#include "runtime/Exceptions.h"

namespace blocks {
namespace {

std::uint64_t checkedSize(std::uint64_t size) {
    if (size == 0 || size > Block::kMaxSize) {
        ZENTRAD_THROW(runtime::AgentException, "Invalid block size (" + std::to_string(size) + ")");
    }
    return size;
}

}  // namespace

Block::Block(std::uint64_t index, std::uint64_t size)
    : size_(checkedSize(size)),
      length_(size),
      index_(index),
      data_(std::make_shared<unsigned char[]>(size)),
      capacity_(size) {}

Block::Block(std::uint64_t index, std::uint64_t size, BlockBuffer data, std::uint64_t length,
             bool compressed, bool encrypted)
    : compressed_(compressed),
      encrypted_(encrypted),
      size_(checkedSize(size)),
      length_(length),
      index_(index),
      data_(std::move(data)) {
    std::uint64_t limit = encrypted ? size_ + kCipherOverhead : size_;
    if (length > limit || (length > 0 && data_ == nullptr)) {
        ZENTRAD_THROW(runtime::AgentException, "Block data length (" + std::to_string(length) +
                                                   ") exceeds the block size (" +
                                                   std::to_string(size_) + ")");
    }
}

void Block::replaceData(BlockBuffer data, std::uint64_t length, std::uint64_t capacity) {
    data_ = std::move(data);
    length_ = length;
    capacity_ = capacity;
}

bool Block::encipherInPlace() const {
    return data_ && data_.use_count() == 1 && capacity_ >= length_ + kCipherOverhead;
}

void Block::computeDigest() {
    auto digest =
        crypto::md5(std::string_view(reinterpret_cast<const char*>(data_.get()), length_));
    if (!digest) {
        ZENTRAD_THROW(runtime::AgentException,
                      "error computing MD5 of block " + std::to_string(index_));
    }
    static_assert(crypto::kMd5Bytes == kDigestBytes);
    std::copy(digest->begin(), digest->end(), digest_.begin());
}

}  // namespace blocks
