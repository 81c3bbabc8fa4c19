// Reading a block from the volume, with retries for the device errors that a second
// attempt can cure.
#include <limits>
#include <string>

#include "blocks/Block.h"
#include "blocks/DeviceErrors.h"
#include "logging/Logger.h"
#include "platform/ErrorText.h"
#include "platform/Errors.h"
#include "platform/System.h"
#include "runtime/Exceptions.h"

namespace blocks {
namespace {

void seekTo(platform::FileHandle& volume, std::uint64_t index, std::uint64_t size) {
    if (index > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / size ||
        !platform::setFilePointerEx(volume, static_cast<std::int64_t>(index * size), nullptr,
                                    platform::kFileBegin)) {
        ZENTRAD_THROW(runtime::DiskException, "Failed to set file pointer");
    }
}

}  // namespace

void Block::load(platform::FileHandle& volume, std::uint64_t index) {
    index_ = index;
    compressed_ = false;
    encrypted_ = false;
    BlockBuffer buffer = std::make_shared<unsigned char[]>(size_);
    std::uint32_t lastError = 0;
    for (int attempt = 1; attempt <= kDeviceAttempts; ++attempt) {
        // Seek before every attempt: a failed read may have moved the position.
        seekTo(volume, index, size_);
        std::uint32_t got = 0;
        if (platform::readFile(volume, buffer.get(), static_cast<std::uint32_t>(size_), &got)) {
            if (got != size_) {
                ZENTRAD_THROW(runtime::DiskException,
                              "Failed to read block " + std::to_string(index) + ": read " +
                                  std::to_string(got) + " of " + std::to_string(size_) + " bytes");
            }
            if (attempt > 1) {
                logging::logWarn() << "Successfully read block " << index << " after " << attempt
                                   << " tries.  Earlier reads failed with error: "
                                   << platform::errorText(lastError);
            }
            replaceData(std::move(buffer), size_, size_);
            loaded_ = true;
            return;
        }
        lastError = platform::getLastError();
        if (!isTransientDeviceError(lastError)) {
            ZENTRAD_THROW(runtime::DiskException, "Failed to read block " + std::to_string(index) +
                                                      ": " + platform::errorText(lastError));
        }
    }
    // Never send a substitute: zeros with a valid digest would be stored as good data, and
    // once the journal key moves on the block would never be sent again.
    ZENTRAD_THROW(runtime::DiskException, "Failed to read block " + std::to_string(index) +
                                              " after " + std::to_string(kDeviceAttempts) +
                                              " tries: " + platform::errorText(lastError));
}

}  // namespace blocks
