#include "blocks/DeviceErrors.h"

#include "platform/Errors.h"
#include "platform/System.h"

namespace blocks {

bool isTransientDeviceError(std::uint32_t error) {
    return error == platform::kErrorCrc || error == platform::kErrorSemTimeout ||
           error == platform::kErrorIoDevice;
}

std::string deviceErrorText(std::uint32_t error) {
    std::string text = platform::toNarrow(platform::formatMessage(error));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

}  // namespace blocks
