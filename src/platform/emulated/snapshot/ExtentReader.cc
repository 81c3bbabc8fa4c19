#include "platform/emulated/snapshot/ExtentReader.h"

#include <algorithm>

#include "platform/Errors.h"
#include "platform/System.h"

namespace platform::emulated {

DiskImage* ExtentReader::image(std::uint32_t diskNumber) {
    auto it = images_.find(diskNumber);
    if (it == images_.end()) {
        std::unique_ptr<DiskImage> opened = DiskImage::open(host_, diskNumber, false);
        if (!opened)
            return nullptr;
        it = images_.emplace(diskNumber, std::move(opened)).first;
    }
    return it->second.get();
}

bool ExtentReader::read(std::uint64_t volumeOffset, void* buffer, std::size_t length) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint64_t extentStart = 0;
    for (const VolumeExtent& extent : extents_) {
        std::uint64_t extentEnd = extentStart + extent.length;
        if (length > 0 && volumeOffset < extentEnd) {
            std::uint64_t inside = volumeOffset - extentStart;
            auto piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(length, extent.length - inside));
            DiskImage* disk = image(extent.diskNumber);
            if (disk == nullptr || !disk->read(extent.offset + inside, out, piece))
                return false;
            out += piece;
            volumeOffset += piece;
            length -= piece;
        }
        extentStart = extentEnd;
    }
    if (length > 0) {
        setLastError(kErrorSectorNotFound);
        return false;
    }
    return true;
}

}  // namespace platform::emulated
