// Inside the reader a damaged structure throws NtfsError; Volume's public calls turn it into
// an Error (Result.h), so no exception crosses the reader's interface.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/emulated/ntfs/Result.h"

namespace platform::emulated::ntfs {

class NtfsError : public std::runtime_error {
  public:
    NtfsError(std::uint32_t code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    std::uint32_t code() const { return code_; }
    Error toError() const { return Error{code_, what()}; }

  private:
    std::uint32_t code_;
};

[[noreturn]] void fail(std::uint32_t code, const std::string& message);
// A damaged structure: kErrorFileCorrupt.
[[noreturn]] void corrupt(const std::string& message);

// "0x80", for attribute types and similar in messages.
std::string hex(std::uint64_t value);

}  // namespace platform::emulated::ntfs
