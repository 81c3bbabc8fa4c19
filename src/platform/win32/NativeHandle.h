// The Windows HANDLE behind a FileHandle, for the win32 files that call the API on it.
#pragma once

#include <windows.h>

#include "platform/File.h"

namespace platform::win32 {

// INVALID_HANDLE_VALUE for an empty handle.
HANDLE nativeHandle(FileHandle& file);

}  // namespace platform::win32
