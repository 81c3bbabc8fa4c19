// The one translation of the emulated host's errno values into the Windows error numbers
// that its file, disk and drive calls leave for getLastError(). Sockets use Winsock numbers
// and translate in the emulated socket file.
#pragma once

#include <cstdint>

#include "platform/Errors.h"

namespace platform::emulated {

// The Windows error for errno. EEXIST becomes kErrorFileExists, what CreateFile reports for
// a file that must be new; calls that report kErrorAlreadyExists instead (CreateDirectory)
// choose so where they call. Values the table does not name become otherwise, which a call
// sets where Windows reports its unexplained failures differently (a disk's reads and
// writes fail as a device).
std::uint32_t errorFromErrno(int error, std::uint32_t otherwise = kErrorGenFailure);

}  // namespace platform::emulated
