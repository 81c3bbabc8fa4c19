#include "blocks/DeviceErrors.h"

#include "platform/Errors.h"
#include "platform/System.h"

namespace blocks {

bool isTransientDeviceError(std::uint32_t error) {
    return error == platform::kErrorCrc || error == platform::kErrorSemTimeout ||
           error == platform::kErrorIoDevice;
}

}  // namespace blocks
