// Device errors that a second attempt can cure (data error (CRC), semaphore time-out, I/O
// device error: they come and go on a failing or busy device), Every other error will not change on
// a second attempt.
#pragma once

#include <cstdint>
#include <string>

namespace blocks {

// Attempts of one read or write before a transient error counts as final.
inline constexpr int kDeviceAttempts = 3;

bool isTransientDeviceError(std::uint32_t error);

}  // namespace blocks
