#include "platform/emulated/ntfs/VolumeReader.h"

#include <string>

#include "platform/emulated/ntfs/NtfsError.h"

namespace platform::emulated::ntfs {

void VolumeReader::read(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    if (offset > length_ || buffer.size() > length_ - offset) {
        corrupt("read of " + std::to_string(buffer.size()) + " bytes at offset " +
                std::to_string(offset) + " lies outside the volume of " + std::to_string(length_) +
                " bytes");
    }
    if (buffer.empty()) {
        return;
    }
    if (!read_(offset, buffer.data(), buffer.size())) {
        fail(kErrorIoDevice, "cannot read " + std::to_string(buffer.size()) + " bytes at offset " +
                                 std::to_string(offset) + " of the volume");
    }
}

}  // namespace platform::emulated::ntfs
