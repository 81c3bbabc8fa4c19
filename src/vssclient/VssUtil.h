// Small helpers of the snapshot client: GUID text, volume names of paths, writer states.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Com.h"

namespace vssclient {

// "{%.8x-%.4x-%.4x-%.2x%.2x-%.2x%.2x%.2x%.2x%.2x%.2x}"
std::wstring guid2WString(const platform::Guid& guid);

// The inverse (braces optional, case ignored). Text that is not a GUID is traced and
// gives the null GUID, which the service then refuses.
platform::Guid wString2Guid(const std::wstring& text);

// The unique volume name ("\\?\Volume{...}\") of the volume that holds path. Throws
// VssException when the path has no volume or the volume has no name.
std::wstring getUniqueVolumeNameForPath(const std::wstring& path);

// A drive-letter root ("C:\") where the volume is mounted, else the volume name itself.
std::wstring getDisplayNameForVolume(const std::wstring& volumeName);

// The writer-state name for the trace: VSS_WS_STABLE .. VSS_WS_FAILED_AT_POST_RESTORE,
// "Undefined" for 0 and "Unknown constant: N" outside the enumeration.
std::wstring getStringFromWriterStatus(std::int32_t state);

// States 6 to 14 of the writer-state enumeration.
bool isFailedWriterState(std::int32_t state);

}  // namespace vssclient
