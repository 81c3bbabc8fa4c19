// Installs snapshot views into an emulated host.
#include "platform/emulated/Host.h"

namespace platform::emulated {

void registerSnapshotDevices(Host&) {
    // No devices of this family exist yet; paths they would claim fail with
    // ERROR_FILE_NOT_FOUND.
}

}  // namespace platform::emulated
