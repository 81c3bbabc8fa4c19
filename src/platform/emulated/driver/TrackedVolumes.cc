#include "platform/emulated/driver/ChangeRecorder.h"

namespace platform::emulated {

std::vector<TrackedVolume> trackedVolumesOf(Host& host) {
    std::vector<TrackedVolume> tracked;
    HostLayout layout = HostLayout::load(host);
    for (const VolumeInfo& volume : layout.volumes()) {
        if (volume.kind == VolumeKind::Optical || volume.extents.empty())
            continue;
        tracked.push_back({volume.guidPath, volume.extents});
    }
    return tracked;
}

}  // namespace platform::emulated
