// fuzz-libs: disk platform
// Feeds arbitrary bytes to the GPT reader as a damaged disk and as a partition-table restore
// from a peer. The input is a series of 512-byte sectors of a 64 MiB disk: all but the last
// 33 are its first sectors (protective MBR, primary header, entry array), the last 33 its
// last sectors (backup entry array and header); everything else reads as zeros. The seed is
// such a disk made by sfdisk. A restore that is accepted onto a larger disk must leave a
// table that the reader accepts at the new size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "disk/GptRestore.h"
#include "platform/GptFormat.h"
#include "runtime/Exceptions.h"

namespace {

namespace gpt = platform::gpt;

constexpr std::uint64_t kDiskSectors = (64u << 20) / gpt::kSectorBytes;
constexpr std::size_t kMostSectors = 80;
constexpr std::size_t kEndSectors = 33;

using Sectors = std::vector<std::shared_ptr<disk::NetSector>>;

Sectors sectorsOf(const std::uint8_t* data, std::size_t size) {
    Sectors sectors;
    std::size_t count = std::min(size / gpt::kSectorBytes, kMostSectors);
    std::size_t front = count > kEndSectors + 2 ? count - kEndSectors : count;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t lba = i < front ? i : kDiskSectors - (count - i);
        auto sector = std::make_shared<disk::NetSector>(gpt::kSectorBytes, lba * gpt::kSectorBytes);
        std::memcpy(sector->getData(), data + i * gpt::kSectorBytes, gpt::kSectorBytes);
        sectors.push_back(sector);
    }
    return sectors;
}

gpt::Table readBack(const Sectors& sectors, std::uint64_t diskSectors) {
    std::map<std::uint64_t, const disk::NetSector*> byOffset;
    for (const auto& sector : sectors)
        byOffset[sector->getOffset()] = sector.get();
    auto read = [&byOffset](std::uint64_t offset, void* buffer, std::size_t count) {
        auto* out = static_cast<std::uint8_t*>(buffer);
        for (std::size_t done = 0; done < count; done += gpt::kSectorBytes) {
            auto found = byOffset.find(offset + done);
            if (found == byOffset.end())
                std::memset(out + done, 0, gpt::kSectorBytes);
            else
                std::memcpy(out + done, found->second->getData(), gpt::kSectorBytes);
        }
        return true;
    };
    return gpt::readTable(read, diskSectors);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Sectors sectors = sectorsOf(data, size);
    gpt::Table table = readBack(sectors, kDiskSectors);
    if (table.valid) {
        for (const auto& entry : table.entries) {
            if (entry.firstLba > entry.lastLba || entry.lastLba >= kDiskSectors)
                __builtin_trap();
        }
    }
    for (std::uint64_t target : {kDiskSectors / 2, kDiskSectors, kDiskSectors * 3}) {
        Sectors restore = sectorsOf(data, size);
        try {
            disk::prepareGptRestore(restore, target, "Disk 1");
        } catch (const runtime::DiskException&) {
            continue;
        }
        if (target > kDiskSectors && table.valid && !readBack(restore, target).valid)
            __builtin_trap();
    }
    return 0;
}
