// An in-memory device for fuzz targets: reads serve the given bytes (zeros past them, up to
// the device's length), writes are kept, seeks move freely.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/File.h"

namespace fuzz {

class MemoryDevice : public platform::OpenFile {
  public:
    MemoryDevice(std::string bytes, std::uint64_t length)
        : bytes_(std::move(bytes)), length_(length) {}
    bool read(void* buffer, std::uint32_t size, std::uint32_t* got) override {
        std::uint64_t end = std::min<std::uint64_t>(position_ + size, length_);
        std::uint32_t count = position_ < end ? static_cast<std::uint32_t>(end - position_) : 0;
        std::memset(buffer, 0, size);
        if (position_ < bytes_.size()) {
            std::uint64_t have = std::min<std::uint64_t>(count, bytes_.size() - position_);
            std::memcpy(buffer, bytes_.data() + position_, have);
        }
        position_ += count;
        *got = count;
        return true;
    }
    bool write(const void*, std::uint32_t size, std::uint32_t* written) override {
        *written = size;
        position_ += size;
        return true;
    }
    bool seek(std::int64_t distance, std::uint32_t, std::uint64_t* newPosition) override {
        if (distance < 0)
            return false;
        *newPosition = position_ = static_cast<std::uint64_t>(distance);
        return true;
    }
    bool ioControl(std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                   std::uint32_t*) override {
        return false;
    }

  private:
    std::string bytes_;
    std::uint64_t length_;
    std::uint64_t position_ = 0;
};

}  // namespace fuzz
