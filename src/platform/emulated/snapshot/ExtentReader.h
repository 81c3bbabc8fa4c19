// Reads a volume's bytes from the disk images its extents lie on (the live bytes, with no
// snapshot or fault applied). Keeps the images it opened for its own lifetime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/emulated/storage/DiskImage.h"
#include "platform/emulated/storage/HostLayout.h"

namespace platform::emulated {

class ExtentReader {
  public:
    ExtentReader(Host& host, std::vector<VolumeExtent> extents)
        : host_(host), extents_(std::move(extents)) {}

    // False with the last error set; a range outside the extents fails with
    // kErrorSectorNotFound.
    bool read(std::uint64_t volumeOffset, void* buffer, std::size_t length);

  private:
    DiskImage* image(std::uint32_t diskNumber);

    Host& host_;
    std::vector<VolumeExtent> extents_;
    std::map<std::uint32_t, std::unique_ptr<DiskImage>> images_;
};

}  // namespace platform::emulated
