// Pieces shared by the emulated disk, volume and file devices: access checks, the file
// pointer of a device, and writing a reply into a caller's buffer.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/FileAccess.h"
#include "platform/System.h"

namespace platform::emulated {

constexpr std::uint32_t kGenericAll = 0x10000000;

inline bool canRead(std::uint32_t access) {
    return (access & (kGenericRead | kGenericAll | kFileReadData)) != 0;
}
inline bool canWrite(std::uint32_t access) {
    return (access & (kGenericWrite | kGenericAll | kFileWriteData)) != 0;
}

// The access a control code demands of the handle; sets kErrorAccessDenied when missing.
inline bool allowsControl(std::uint32_t access, std::uint32_t code) {
    std::uint32_t needed = ctlCodeAccess(code);
    if (((needed & 1) != 0 && !canRead(access)) || ((needed & 2) != 0 && !canWrite(access))) {
        setLastError(kErrorAccessDenied);
        return false;
    }
    return true;
}

// Fails with error and returns false, for one-line error returns.
inline bool fail(std::uint32_t error) {
    setLastError(error);
    return false;
}

// A device's file pointer. Seeking before the start fails with kErrorNegativeSeek as on
// Windows; seeking past the end is allowed (reads there return nothing).
class DevicePosition {
  public:
    std::uint64_t get() const { return position_; }
    void advance(std::uint64_t bytes) { position_ += bytes; }
    bool seek(std::int64_t distance, std::uint32_t method, std::uint64_t size,
              std::uint64_t* newPosition) {
        std::int64_t base = 0;
        if (method == kFileCurrent) {
            base = static_cast<std::int64_t>(position_);
        } else if (method == kFileEnd) {
            base = static_cast<std::int64_t>(size);
        } else if (method != kFileBegin) {
            return fail(kErrorInvalidParameter);
        }
        if ((distance < 0 && base + distance < 0))
            return fail(kErrorNegativeSeek);
        position_ = static_cast<std::uint64_t>(base + distance);
        *newPosition = position_;
        return true;
    }

  private:
    std::uint64_t position_ = 0;
};

// Copies a fixed-size reply; kErrorInsufficientBuffer when it does not fit.
template <typename T>
bool replyWith(const T& value, void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) {
    if (out == nullptr || outSize < sizeof(T))
        return fail(kErrorInsufficientBuffer);
    std::memcpy(out, &value, sizeof(T));
    *bytesReturned = sizeof(T);
    return true;
}

// Reads a fixed-size input; kErrorInvalidParameter when it is too short.
template <typename T>
bool inputOf(const void* in, std::uint32_t inSize, T& value) {
    if (in == nullptr || inSize < sizeof(T))
        return fail(kErrorInvalidParameter);
    std::memcpy(&value, in, sizeof(T));
    return true;
}

}  // namespace platform::emulated
