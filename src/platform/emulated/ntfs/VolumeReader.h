// The read callback with the volume's length: every read is checked against the volume
// before the callback sees it.
#pragma once

#include <cstdint>
#include <span>

#include "platform/emulated/ntfs/Volume.h"

namespace platform::emulated::ntfs {

class VolumeReader {
  public:
    VolumeReader(ReadFunction read, std::uint64_t length)
        : read_(std::move(read)), length_(length) {}

    std::uint64_t length() const { return length_; }
    // Fills buffer from byte offset; a range past the volume is a damaged structure (it came
    // from one), a failing callback is kErrorIoDevice.
    void read(std::uint64_t offset, std::span<std::uint8_t> buffer) const;

  private:
    ReadFunction read_;
    std::uint64_t length_;
};

}  // namespace platform::emulated::ntfs
