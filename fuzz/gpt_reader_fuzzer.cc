// fuzz-libs: platform
// Feeds arbitrary bytes to the GPT reader as a damaged disk. The input is the disk's first
// sectors (protective MBR, primary header, entry array); the last sector of the 64 MiB disk
// repeats the input's second sector, so that a mutated primary header also meets a backup
// that may or may not agree with it. Everything else reads as zeros.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/GptFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::uint64_t kDiskSectors = (64u << 20) / platform::gpt::kSectorBytes;
    constexpr std::uint64_t kLast = (kDiskSectors - 1) * platform::gpt::kSectorBytes;
    auto read = [data, size](std::uint64_t offset, void* buffer, std::size_t count) {
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::memset(out, 0, count);
        for (std::size_t i = 0; i < count; ++i) {
            std::uint64_t at = offset + i;
            if (at >= kLast && at - kLast < 512)
                at = at - kLast + 512;
            if (at < size)
                out[i] = data[at];
        }
        return true;
    };
    platform::gpt::Table table = platform::gpt::readTable(read, kDiskSectors);
    if (table.valid) {
        // Whatever was accepted must be internally consistent.
        for (const auto& entry : table.entries) {
            if (entry.firstLba > entry.lastLba || entry.lastLba >= kDiskSectors)
                __builtin_trap();
        }
    }
    if (size >= 512)
        platform::gpt::isProtectiveMbr(data);
    return 0;
}
