// fuzz-libs: platform
// Feeds arbitrary bytes to the NTFS reader as a damaged volume. So that mutations land on
// the metadata rather than on megabytes of zeros, the input is a sparse image: a series of
// 4-byte little-endian block numbers each followed by one 4096-byte block; blocks not given
// read as zeros on a 4 MiB volume. The seeds are mkntfs volumes in this form.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "platform/emulated/ntfs/Volume.h"

namespace {

namespace ntfs = platform::emulated::ntfs;

constexpr std::size_t kBlock = 4096;
constexpr std::uint64_t kVolumeBytes = 4 << 20;

class SparseImage {
  public:
    SparseImage(const std::uint8_t* data, std::size_t size) {
        for (std::size_t at = 0; size - at >= 4 + kBlock; at += 4 + kBlock) {
            std::uint32_t number = data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
                                   static_cast<std::uint32_t>(data[at + 3]) << 24;
            blocks_[number % (kVolumeBytes / kBlock)] = data + at + 4;
        }
    }
    bool read(std::uint64_t offset, void* buffer, std::size_t length) const {
        auto* out = static_cast<std::uint8_t*>(buffer);
        while (length > 0) {
            std::size_t inBlock = offset % kBlock;
            std::size_t piece = std::min(length, kBlock - inBlock);
            auto block = blocks_.find(static_cast<std::uint32_t>(offset / kBlock));
            if (block == blocks_.end()) {
                std::memset(out, 0, piece);
            } else {
                std::memcpy(out, block->second + inBlock, piece);
            }
            out += piece;
            offset += piece;
            length -= piece;
        }
        return true;
    }

  private:
    std::map<std::uint32_t, const std::uint8_t*> blocks_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SparseImage image(data, size);
    auto volume = ntfs::Volume::open(
        [&image](std::uint64_t offset, void* buffer, std::size_t length) {
            return image.read(offset, buffer, length);
        },
        kVolumeBytes);
    if (!volume) {
        return 0;
    }
    const ntfs::Volume& v = volume.value();
    (void)v.volumeData();
    std::uint64_t bitmapBytes = (v.geometry().totalClusters + 7) / 8;
    (void)v.readBitmap(0, static_cast<std::size_t>(std::min<std::uint64_t>(bitmapBytes, 32768)));
    (void)v.readBitmap(bitmapBytes / 2, 1);
    for (const wchar_t* path : {L"\\hello.txt", L"\\RANDOM.BIN", L"\\Dir\\Inner.bin", L"\\",
                                L"\\$MFT", L"\\name77", L"\\Dir"}) {
        (void)v.fileExtents(path);
        (void)v.exists(path);
    }
    return 0;
}
