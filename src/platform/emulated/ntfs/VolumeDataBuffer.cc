// NTFS_VOLUME_DATA_BUFFER's layout.
#include <cstring>

#include "platform/emulated/ntfs/Volume.h"

namespace platform::emulated::ntfs {

namespace {

class LittleEndianWriter {
  public:
    explicit LittleEndianWriter(std::array<std::uint8_t, kVolumeDataBufferSize>& out) : out_(out) {}
    template <typename T>
    LittleEndianWriter& put(T value) {
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            out_[position_++] =
                static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
        }
        return *this;
    }
    std::size_t position() const { return position_; }

  private:
    std::array<std::uint8_t, kVolumeDataBufferSize>& out_;
    std::size_t position_ = 0;
};

}  // namespace

std::array<std::uint8_t, kVolumeDataBufferSize> encodeVolumeDataBuffer(const VolumeData& data) {
    std::array<std::uint8_t, kVolumeDataBufferSize> out{};
    LittleEndianWriter writer(out);
    writer.put(data.volumeSerialNumber)
        .put(data.numberSectors)
        .put(data.totalClusters)
        .put(data.freeClusters)
        .put(data.totalReserved)
        .put(data.bytesPerSector)
        .put(data.bytesPerCluster)
        .put(data.bytesPerFileRecordSegment)
        .put(data.clustersPerFileRecordSegment)
        .put(data.mftValidDataLength)
        .put(data.mftStartLcn)
        .put(data.mft2StartLcn)
        .put(data.mftZoneStart)
        .put(data.mftZoneEnd);
    return out;
}

}  // namespace platform::emulated::ntfs
