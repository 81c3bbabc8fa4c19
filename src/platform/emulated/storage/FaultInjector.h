// Faults declared in host.conf, applied to reads and writes through the emulated disk and
// volume devices (hostsim's own changes are never faulted).
//
//   [fault NAME]
//   kind = read-error          read-error (default), write-error or short-write
//   volume = C                 a drive letter or a volume GUID path; applies to that volume's
//                              device and to snapshot views of it
//   disk = 0                   instead of volume: applies to "\\.\PHYSICALDRIVE0"
//   clusters = 100-103         the volume's NTFS clusters (inclusive range, or one number)
//   sectors = 2048-2055        instead of clusters: 512-byte sectors of the device
//   error = 23                 the Windows error number of a failed read or write; 23, 121
//                              and 1117 are the transient device errors (default 23)
//   attempts = 2               fail only the first N reads or writes of each sector-aligned
//                              location in the range, then succeed (default: fail every time,
//                              a hard error); counted per process, reset when host.conf
//                              changes
//   bytes = 0                  short-write: bytes written before the write stops; the call
//                              then succeeds with that count, as a short device write does
//
// A read or write that touches any sector of the range is affected as a whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/emulated/Host.h"

namespace platform::emulated {

struct FaultTarget {
    // Exactly one of the two is set.
    std::wstring volumeGuidPath;  // with the trailing backslash
    std::optional<std::uint32_t> diskNumber;
};

struct InjectedFault {
    enum class Kind { Error, ShortWrite };
    Kind kind = Kind::Error;
    std::uint32_t error = 0;         // Kind::Error
    std::uint64_t bytesWritten = 0;  // Kind::ShortWrite
};

// The fault, if any, that a read or write of [offset, offset + length) bytes of the target
// device meets now. Counts the attempt when a counted fault fires.
std::optional<InjectedFault> injectReadFault(Host& host, const FaultTarget& target,
                                             std::uint64_t offset, std::uint64_t length);
std::optional<InjectedFault> injectWriteFault(Host& host, const FaultTarget& target,
                                              std::uint64_t offset, std::uint64_t length);

}  // namespace platform::emulated
