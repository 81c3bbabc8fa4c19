#include "blocks/VolumeLock.h"

#include <chrono>
#include <thread>

#include "logging/Logger.h"
#include "platform/DeviceControl.h"
#include "platform/ErrorText.h"
#include "platform/Errors.h"
#include "platform/System.h"
#include "runtime/Exceptions.h"

namespace blocks {
namespace {

bool control(platform::FileHandle& volume, std::uint32_t code) {
    return platform::deviceIoControl(volume, code, nullptr, 0, nullptr, 0, nullptr);
}

// A lock is refused while anything has a file open on the volume; files that are closed
// moments later (an indexer, a virus scanner) should not cost a dismount, so the lock is
// tried for a while first.
constexpr int kLockAttempts = 10;
constexpr auto kLockRetryPause = std::chrono::milliseconds(100);

bool lockWithRetries(platform::FileHandle& volume) {
    for (int attempt = 1; attempt <= kLockAttempts; ++attempt) {
        if (control(volume, platform::kFsctlLockVolume))
            return true;
        if (platform::getLastError() != platform::kErrorAccessDenied || attempt == kLockAttempts)
            return false;
        std::this_thread::sleep_for(kLockRetryPause);
    }
    return false;
}

}  // namespace

VolumeLock::VolumeLock(platform::FileHandle& device, const std::string& path)
    : device_(device), path_(path) {
    if (lockWithRetries(device_)) {
        logging::logInfo() << "Locked volume " << path_ << " for the restore";
        return;
    }
    if (platform::getLastError() != platform::kErrorAccessDenied)
        fail("locking");
    // Files on the volume are open: the only way to write beneath them is to take the file
    // system away from under their handles.
    logging::logWarn() << "Volume " << path_
                       << " is in use; dismounting it for the restore (open handles on it "
                          "become invalid)";
    if (!control(device_, platform::kFsctlDismountVolume))
        fail("dismounting");
    dismounted_ = true;
    if (!control(device_, platform::kFsctlLockVolume))
        fail("locking");
    logging::logInfo() << "Locked volume " << path_ << " for the restore after dismounting it";
}

VolumeLock::~VolumeLock() {
    if (device_.valid() && !control(device_, platform::kFsctlUnlockVolume)) {
        logging::logWarn() << "Could not unlock volume " << path_ << ": "
                           << platform::errorText(platform::getLastError());
        return;
    }
    logging::logInfo() << "Unlocked volume " << path_;
}

void VolumeLock::fail(const std::string& step) const {
    const std::uint32_t error = platform::getLastError();
    ZENTRAD_THROW(runtime::DiskException, "Could not lock volume " + path_ + " for the restore (" +
                                              step + " failed): " + platform::errorText(error));
}

}  // namespace blocks
