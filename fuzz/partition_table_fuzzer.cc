// fuzz-libs: disk platform
// A disk's first sectors as a damaged or hostile disk holds them: the collection of the
// MBR, boot gap, dynamic-disk database and extended boot records that a partition-table
// backup sends, and the emulated host's reading of the same layout. The first byte sets how
// many sectors the disk has beyond the input (0 to 255 × 64); the rest is the disk's start.
// Chains that loop or leave the disk must end with an error, not a hang or a stray read.
#include <cstddef>
#include <cstdint>
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
    fuzz::MemoryDevice device(bytes, sectors * 512);
    auto readAt = [&device](std::uint64_t offset, void* buffer, std::size_t count) {
        std::uint64_t at = 0;
        std::uint32_t got = 0;
        return device.seek(static_cast<std::int64_t>(offset), 0, &at) &&
               device.read(buffer, static_cast<std::uint32_t>(count), &got) && got == count;
    };
    platform::emulated::readMbrLayout(readAt, sectors * 512);
    return 0;
}
