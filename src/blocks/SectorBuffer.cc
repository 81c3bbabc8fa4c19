#include "blocks/SectorBuffer.h"

#include <cstring>
#include <stdexcept>

namespace blocks {

SectorBuffer::SectorBuffer(std::size_t capacity, std::size_t alignment)
    : capacity_(capacity),
      alignment_(alignment),
      data_(static_cast<std::uint8_t*>(
                ::operator new[](capacity == 0 ? 1 : capacity, std::align_val_t{alignment})),
            AlignedDelete{alignment}) {}

void SectorBuffer::append(const void* bytes, std::size_t size) {
    if (size > capacity_ - size_)
        throw std::length_error("sector buffer full");
    if (size != 0)
        std::memcpy(data_.get() + size_, bytes, size);
    size_ += size;
}

}  // namespace blocks
