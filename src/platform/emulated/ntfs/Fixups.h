// Multi-sector protection of file records ("FILE") and index buffers ("INDX"): the last two
// bytes of every 512-byte stride hold the update sequence number and their real contents
// sit in the update sequence array. A torn or damaged structure fails the check.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace platform::emulated::ntfs {

// Checks the 4-byte magic and the update sequence, then puts the saved bytes back.
// what names the structure in error messages.
void applyFixups(std::span<std::uint8_t> record, const char (&magic)[5], const std::string& what);

}  // namespace platform::emulated::ntfs
