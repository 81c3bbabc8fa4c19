// The emulated driver's control device "\\.\VardexControlDevice": the five control
// requests over the files of DriverStore. Reads, writes and seeks fail with
// kErrorInvalidFunction, as on a control device.
//
// Where Windows drivers differ from one another this one chooses: READ_CHANGES returns at
// once with what is pending (possibly nothing); SET_STATE accepts 0 and 1 only; asking for
// the names of a volume number the driver never gave out fails with kErrorInvalidParameter.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/emulated/Host.h"

namespace platform::emulated {

constexpr wchar_t kDriverControlDevicePath[] = L"\\\\.\\VardexControlDevice";

constexpr std::uint32_t kDriverIoctlGetPendingCount = 0x221E24;
constexpr std::uint32_t kDriverIoctlReadChanges = 0x221E22;
constexpr std::uint32_t kDriverIoctlGetState = 0x221E34;
constexpr std::uint32_t kDriverIoctlSetState = 0x221E30;
constexpr std::uint32_t kDriverIoctlGetVolumeNames = 0x221E54;

std::unique_ptr<OpenFile> openDriverControlDevice(Host& host);

// The names the driver reports for a volume: its GUID path, then its drive letter as
// "X:\" when it has one, separated by ";", as UTF-16LE with a terminating NUL.
std::vector<std::uint8_t> encodeVolumeNames(const std::vector<std::wstring>& names);

}  // namespace platform::emulated
