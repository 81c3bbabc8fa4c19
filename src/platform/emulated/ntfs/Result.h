// The outcome of a question put to an NTFS volume: a value, or an Error carrying the Windows
// error number that the emulated volume device reports through getLastError() and a message
// for the log. Every structure read from a volume image is untrusted; a damaged structure is
// always an Error, never a crash or a read outside the volume.
//
// Error numbers used (what Windows gives in the same situation):
//   kErrorInvalidFunction (1)      the volume holds no NTFS (no "NTFS    " boot sector); Windows
//                                  answers the NTFS control requests so on other file systems
//   kErrorFileNotFound (2)         the last component of a path does not exist
//   kErrorPathNotFound (3)         a directory on the way does not exist or is not a directory
//   kErrorNotEnoughMemory (8)      an allocation failed (every size is capped, so only when the
//                                  host itself runs short)
//   kErrorHandleEof (38)           the file has no clusters: its data is resident in its file
//                                  record or it is empty (FSCTL_GET_RETRIEVAL_POINTERS fails so)
//   kErrorInvalidParameter (87)    a request outside the volume (bitmap past the last cluster)
//   kErrorInvalidName (123)        a path that is not "\name\name..." (empty component, too long)
//   kErrorIoDevice (1117)          the read callback failed
//   kErrorUnrecognizedVolume (1005) a boot sector that claims NTFS but whose values are impossible
//   kErrorFileCorrupt (1392)       a damaged file record, attribute, run list or index
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "platform/Errors.h"

namespace platform::emulated::ntfs {

constexpr std::uint32_t kErrorUnrecognizedVolume = 1005;
constexpr std::uint32_t kErrorFileCorrupt = 1392;

struct Error {
    std::uint32_t code = kErrorFileCorrupt;
    std::string message;
};

template <typename T>
class Result {
  public:
    Result(T value) : state_(std::move(value)) {}      // NOLINT: implicit by design
    Result(Error error) : state_(std::move(error)) {}  // NOLINT: implicit by design

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    const T& value() const& { return std::get<0>(state_); }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }

    // Only when !ok().
    const Error& error() const { return std::get<1>(state_); }

  private:
    std::variant<T, Error> state_;
};

}  // namespace platform::emulated::ntfs
