// fuzz-libs: disk platform
// A disk's first sectors as a damaged or hostile disk holds them: the collection of the
// MBR, boot gap, dynamic-disk database and extended boot records that a partition-table
// backup sends, and the emulated host's reading of the same layout. The first byte sets how
// many sectors the disk has beyond the input (0 to 255 × 64); the rest is the disk's start.
// Chains that loop or leave the disk must end with an error, not a hang or a stray read.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "MemoryDevice.h"
#include "disk/PartitionTableReader.h"
#include "platform/emulated/storage/MbrLayout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > (1 << 20))
        return 0;
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    std::uint64_t sectors = (bytes.size() + 511) / 512 + std::uint64_t{data[0]} * 64;
    if (sectors == 0)
        return 0;
    try {
        platform::FileHandle disk(std::make_unique<fuzz::MemoryDevice>(bytes, sectors * 512));
        disk::PartitionTableReader reader(disk, "Disk 0", sectors);
        reader.read();
    } catch (const std::exception&) {
    }
    auto readAt = [&bytes, sectors](std::uint64_t offset, void* buffer, std::size_t count) {
        if (offset > sectors * 512 || count > sectors * 512 - offset)
            return false;
        std::memset(buffer, 0, count);
        if (offset < bytes.size())
            std::memcpy(buffer, bytes.data() + offset,
                        std::min<std::size_t>(count, bytes.size() - offset));
        return true;
    };
    platform::emulated::readMbrLayout(readAt, sectors * 512);
    return 0;
}
