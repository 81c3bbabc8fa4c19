// Changing a disk or volume through a temporary image: the bytes are copied out (sparse),
// a tool changes the copy, and only the 512-byte sectors that differ are written back,
// through the emulated write path (DiskImage::write), so that copy-on-write snapshots and
// the change-tracking driver see hostsim's changes like any other write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/emulated/storage/DiskImage.h"
#include "platform/emulated/storage/VolumeDevice.h"

namespace hostsim {

// A whole disk image as a writable byte source.
class DiskByteSource : public platform::emulated::VolumeByteSource {
  public:
    explicit DiskByteSource(std::unique_ptr<platform::emulated::DiskImage> image)
        : image_(std::move(image)) {}
    std::uint64_t size() const override { return image_->size(); }
    bool read(std::uint64_t offset, void* buffer, std::size_t length) override {
        return image_->read(offset, buffer, length);
    }
    bool writable() const override { return true; }
    bool write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        return image_->write(offset, buffer, length);
    }

  private:
    std::unique_ptr<platform::emulated::DiskImage> image_;
};

// Copies all of source into file (created or truncated), leaving zero runs as holes.
void extractImage(platform::emulated::VolumeByteSource& source, const std::filesystem::path& file);

struct WriteBackResult {
    std::uint64_t changedBytes = 0;
    std::uint64_t writes = 0;
};

// Writes the sectors of file that differ from target into target. The file must have
// target's size. Throws std::runtime_error on a failed read or write.
WriteBackResult writeBackDifferences(const std::filesystem::path& file,
                                     platform::emulated::VolumeByteSource& target);

}  // namespace hostsim
