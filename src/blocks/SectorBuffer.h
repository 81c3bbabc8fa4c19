// A growable byte buffer whose start is aligned for raw device I/O. Disks and volumes opened
// for unbuffered access want buffers aligned to their sector size (a device may want more);
// a page boundary satisfies every sector size up to 4 KiB, and larger alignments are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace blocks {

class SectorBuffer {
  public:
    static constexpr std::size_t kDefaultAlignment = 4096;

    explicit SectorBuffer(std::size_t capacity, std::size_t alignment = kDefaultAlignment);
    SectorBuffer(const SectorBuffer&) = delete;
    SectorBuffer& operator=(const SectorBuffer&) = delete;

    // Appends size bytes; throws std::length_error beyond the capacity (nothing is copied).
    void append(const void* bytes, std::size_t size);
    void clear() { size_ = 0; }

    std::uint8_t* data() { return data_.get(); }
    const std::uint8_t* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t capacity() const { return capacity_; }
    std::size_t alignment() const { return alignment_; }

  private:
    struct AlignedDelete {
        std::size_t alignment;
        void operator()(std::uint8_t* p) const {
            ::operator delete[](p, std::align_val_t{alignment});
        }
    };

    std::size_t capacity_;
    std::size_t alignment_;
    std::unique_ptr<std::uint8_t[], AlignedDelete> data_;
    std::size_t size_ = 0;
};

}  // namespace blocks
